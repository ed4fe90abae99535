#!/bin/sh
# The client as a host vendor meets it: installed from this build into a fresh prefix, the
# example host built against it with find_package(crashui), a C host built with pkg-config's
# flags, each crashed once: the dump is there and the stand-in crashui got the crash's name.
# Usage: installed_package.sh BUILD_DIR SOURCE_DIR QT_MAJOR
set -eu
build=$1 source=$2 qt=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --component client --prefix "$work/prefix" >/dev/null
cat >"$work/crashui" <<'STANDIN'
#!/bin/sh
printf '%s\n' "$@" >"$(dirname "$0")/args.tmp" && mv "$(dirname "$0")/args.tmp" "$(dirname "$0")/args.txt"
STANDIN
chmod +x "$work/crashui"

# Waits for the detached stand-in's record and checks its first two lines: ROOT_DIR, NAME.
expect_args() {
  for _ in $(seq 300); do [ -f "$work/args.txt" ] && break; sleep 0.1; done
  [ "$(sed -n 1p "$work/args.txt" 2>/dev/null)" = "$1" ] || fail "crashui got root '$(sed -n 1p "$work/args.txt" 2>/dev/null)', not '$1'"
  [ "$(sed -n 2p "$work/args.txt")" = "$2" ] || fail "crashui got name '$(sed -n 2p "$work/args.txt")', not '$2'"
  rm -f "$work/args.txt"
}

cmake -S "$source/examples/hostapp" -B "$work/hostapp" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DHOSTAPP_QT_MAJOR="$qt" ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build "$work/hostapp" >/dev/null
status=0
QT_QPA_PLATFORM=offscreen "$work/hostapp/hostapp" --root "$work/root" --crashui "$work/crashui" --crash abort \
  2>/dev/null || status=$?
[ "$status" -eq 134 ] || fail "hostapp ended with status $status, not by SIGABRT"
dump=$(ls "$work/root/dumps/"hostapp_*.dmp) || fail "no dump from hostapp"
expect_args "$work/root" "$(basename "$dump" .dmp)"
ls "$work/root/log/$(basename "$dump" .dmp).log" >/dev/null || fail "no log named by the dump's tag"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -o "$work/chost" "$source/tests/client/crashhost.c" $(pkg-config --cflags --libs crashui-client) \
  -Wl,-rpath,"$work/prefix/lib" -lpthread
status=0
"$work/chost" null "$work/croot" "$work/crashui" >/dev/null || status=$?
[ "$status" -eq 139 ] || fail "the pkg-config host ended with status $status, not by SIGSEGV"
dump=$(ls "$work/croot/dumps/"hostcrash_*.dmp) || fail "no dump from the pkg-config host"
expect_args "$work/croot" "$(basename "$dump" .dmp)"
echo "1 passed, 0 failed"
