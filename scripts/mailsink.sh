# Sourced by scripts/demo and bench/report-bench: starts the test mail sink (aiosmtpd with AUTH
# LOGIN, tests/tools/smtpsink.py) in the background, saving mails below $1; any further arguments
# go to the sink. Sets MAILSINK_PORT; stop_mailsink (for the caller's EXIT trap) stops it: the
# sink ends when its standard input closes.
start_mailsink() {
  local dir=$1
  shift
  mkdir -p "$dir"
  rm -f "$dir/sink.in" "$dir/sink.out"
  mkfifo "$dir/sink.in"
  /usr/bin/python3 tests/tools/smtpsink.py --dir "$dir" --password Err.submit7 "$@" <"$dir/sink.in" >"$dir/sink.out" &
  MAILSINK_PID=$!
  exec 3>"$dir/sink.in"
  for _ in $(seq 100); do grep -q PORT "$dir/sink.out" 2>/dev/null && break; sleep 0.1; done
  MAILSINK_PORT=$(sed -n 's/^PORT //p' "$dir/sink.out")
  [ -n "$MAILSINK_PORT" ] || { echo "the mail sink did not start" >&2; exit 1; }
}

stop_mailsink() {
  exec 3>&- 2>/dev/null || true
  [ -n "${MAILSINK_PID:-}" ] && wait "$MAILSINK_PID" 2>/dev/null || true
}
