#!/usr/bin/env bash
# A throwaway MIT Kerberos realm on loopback for shell-driven end-to-end tests.
#
#   test-realm.sh start DIR [PRINCIPAL[:PASSWORD]]...   creates DIR (must not exist), starts a KDC
#                                                       on a free 127.0.0.1 port (TCP only), adds
#                                                       host/localhost with DIR/service.keytab and
#                                                       the given users, prints the environment
#                                                       to use (eval it)
#   test-realm.sh stop DIR                              stops the KDC by its pid, removes DIR
#
# Realm EXAMPLE.TEST. Users without a password get a random key. Exit status 2 when the Kerberos
# KDC programs are not installed (callers skip), 1 on any other failure.
set -euo pipefail

realm=EXAMPLE.TEST
service=host/localhost@$realm

find_prog() {
  local p
  for p in /usr/sbin/$1 /usr/bin/$1 /sbin/$1; do
    [[ -x $p ]] && { echo "$p"; return 0; }
  done
  return 1
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

cmd=${1:-}
dir=${2:-}
[[ -n $cmd && -n $dir ]] || { echo "usage: $0 start|stop DIR [PRINCIPAL[:PASSWORD]]..." >&2; exit 1; }

case $cmd in
start)
  kdc=$(find_prog krb5kdc) && kdb=$(find_prog kdb5_util) && kadmin=$(find_prog kadmin.local) || {
    echo "Kerberos KDC programs not installed" >&2; exit 2; }
  [[ ! -e $dir ]] || { echo "$dir exists" >&2; exit 1; }
  mkdir -m 0700 -p "$dir"
  dir=$(cd "$dir" && pwd)
  shift 2
  export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf
  for attempt in 1 2 3; do
    port=$(free_port)
    cat >"$KRB5_CONFIG" <<CONF
[libdefaults]
 default_realm = $realm
 dns_lookup_realm = false
 dns_lookup_kdc = false
 rdns = false
 dns_canonicalize_hostname = false
 udp_preference_limit = 0
 forwardable = true
[realms]
 $realm = {
  kdc = 127.0.0.1:$port
 }
CONF
    cat >"$KRB5_KDC_PROFILE" <<CONF
[kdcdefaults]
 kdc_listen = 127.0.0.1:$port
 kdc_tcp_listen = 127.0.0.1:$port
[realms]
 $realm = {
  database_name = $dir/principal
  key_stash_file = $dir/stash
  acl_file = $dir/kadm5.acl
  supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
 }
[logging]
 kdc = FILE:$dir/kdc.log
CONF
    : >"$dir/kadm5.acl"
    [[ -e $dir/principal ]] || "$kdb" -r $realm create -s -P "tokengate-test-master" >>"$dir/tools.log" 2>&1
    "$kdc" -n -r $realm >>"$dir/kdc.out" 2>&1 </dev/null &
    pid=$!
    for _ in $(seq 100); do
      if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
        echo $pid >"$dir/kdc.pid"
        break 2
      fi
      kill -0 $pid 2>/dev/null || break
      sleep 0.05
    done
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
  done
  [[ -s $dir/kdc.pid ]] || { echo "the KDC did not start (see $dir)" >&2; exit 1; }
  k() { "$kadmin" -r $realm -q "$1" >>"$dir/tools.log" 2>&1; }
  k "addprinc -randkey $service"
  k "ktadd -k $dir/service.keytab $service"
  for user in "$@"; do
    name=${user%%:*}
    if [[ $user == *:* ]]; then k "addprinc -pw ${user#*:} $name"; else k "addprinc -randkey $name"; fi
  done
  echo "export KRB5_CONFIG=$dir/krb5.conf"
  echo "export KRB5_KDC_PROFILE=$dir/kdc.conf"
  echo "export TOKENGATE_KEYTAB=$dir/service.keytab"
  echo "export TOKENGATE_SERVICE_PRINCIPAL=$service"
  ;;
stop)
  if [[ -s $dir/kdc.pid ]]; then
    pid=$(cat "$dir/kdc.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  rm -rf -- "$dir"
  ;;
*)
  echo "unknown command $cmd" >&2
  exit 1
  ;;
esac
