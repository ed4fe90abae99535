# A private Postfix for the benchmark: Debian's package with Cyrus SASL (a sasldb of its own),
# listening on 127.0.0.1 only, local delivery only (no relay), message size limit raised.
# Everything lives in the folder given; nothing of the system's mail set-up is used or changed.
# Source it, then: start_postfix DIR (sets POSTFIX_PORT, POSTFIX_MAILBOX, POSTFIX_PASSWORD,
# POSTFIX_SPOOL), stop_postfix. Needs root (Postfix's master starts as root).

start_postfix() {
  pf_dir=$1
  mkdir -p "$pf_dir/conf" "$pf_dir/queue" "$pf_dir/data" "$pf_dir/spool" "$pf_dir/conf/sasl"
  chmod 755 "$pf_dir"
  chmod 1777 "$pf_dir/spool"
  chown postfix "$pf_dir/data"
  POSTFIX_PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  POSTFIX_MAILBOX=nobody@localhost
  POSTFIX_PASSWORD=bench-secret
  POSTFIX_SPOOL=$pf_dir/spool
  cat >"$pf_dir/conf/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $pf_dir/queue
data_directory = $pf_dir/data
meta_directory = /etc/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = bench.localdomain
mydestination = localhost, bench.localdomain
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks_style = host
alias_maps =
alias_database =
local_recipient_maps =
default_transport = error:the bench delivers locally only
relay_transport = error:the bench delivers locally only
mail_spool_directory = $pf_dir/spool
mailbox_size_limit = 0
message_size_limit = 8589934592
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
cyrus_sasl_config_path = $pf_dir/conf/sasl
smtpd_sasl_security_options = noanonymous
smtpd_relay_restrictions = permit_sasl_authenticated, reject
smtpd_recipient_restrictions = permit_sasl_authenticated, reject
smtpd_tls_security_level = none
maillog_file_prefixes = $pf_dir
maillog_file = $pf_dir/maillog
CONF
  cat >"$pf_dir/conf/master.cf" <<CONF
127.0.0.1:$POSTFIX_PORT inet n - n - - smtpd
cleanup   unix  n - n - 0 cleanup
qmgr      unix  n - n 300 1 qmgr
rewrite   unix  - - n - - trivial-rewrite
bounce    unix  - - n - 0 bounce
defer     unix  - - n - 0 bounce
trace     unix  - - n - 0 bounce
verify    unix  - - n - 1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n - - proxymap
showq     unix  n - n - - showq
error     unix  - - n - - error
retry     unix  - - n - - error
discard   unix  - - n - - discard
local     unix  - n n - - local
anvil     unix  - - n - 1 anvil
scache    unix  - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
CONF
  cat >"$pf_dir/conf/sasl/smtpd.conf" <<CONF
pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN
sasldb_path: $pf_dir/conf/sasl/sasldb2
CONF
  echo "$POSTFIX_PASSWORD" | saslpasswd2 -p -c -f "$pf_dir/conf/sasl/sasldb2" -u localhost nobody
  chown postfix "$pf_dir/conf/sasl/sasldb2"
  postfix -c "$pf_dir/conf" start >/dev/null 2>"$pf_dir/start.err" || { cat "$pf_dir/start.err" >&2; return 1; }
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $POSTFIX_PORT), 1)" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "postfix did not listen on $POSTFIX_PORT" >&2
  return 1
}

stop_postfix() {
  [ -n "${pf_dir:-}" ] && postfix -c "$pf_dir/conf" stop >/dev/null 2>&1 || true
}

# Waits until the spool holds n mails (Postfix delivers after accepting); at most a minute.
wait_postfix_mails() {
  for _ in $(seq 600); do
    [ "$(grep -c '^From ' "$POSTFIX_SPOOL/nobody" 2>/dev/null || echo 0)" -ge "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
