#!/usr/bin/env bash
# A private TokenGate site: logon-broker on a private socket directory, a proxy backend that
# echoes request headers, and an Apache instance of its own (own ServerRoot, PidFile and ports on
# 127.0.0.1) with mod_tokengate. Never touches the system's Apache.
#
# Usage: private-apache.sh up|down|broker-stop|broker-start|broker-restart|apache-restart|reconf|token|expired-token
#   Environment:
#     TG_BUILD   build directory holding modules/mod_tokengate.so and the programs (required)
#     TG_WORK    working directory of this instance (required; created)
#     TG_PORT    port of the protected site (default: a free one); TG_OFF_PORT, TG_BACKEND_PORT
#     TG_MPM     event (default), worker or prefork
#     TG_UPDATE_WINDOW   TokenUpdateWindow of the gate conf (default 5)
#     TG_TOKEN_LIFETIME  token lifetime in seconds (default 300)
#     TG_ERROR_URL       ErrorUrl of the gate conf (default empty)
#     TG_GATE_LOG_LEVEL  the module's Apache log level (default info)
#     TG_IWA             1: EnableIWA=YES, and the CGI /app/iwa.cgi that shows who it runs for
#                        (also the ErrorDocument for 404);
#                        the broker then needs the Kerberos settings in the environment
#                        (KRB5_CONFIG, TOKENGATE_KEYTAB, TOKENGATE_SERVICE_PRINCIPAL), and Apache
#                        is given a readable copy of KRB5_CONFIG for the name mapping
#     TG_SECOND_SITE     1: a second virtual host on SITE_B_PORT with an installation path, key
#                        and conf of its own (TesseraName SiteBToken, prefix SiteB-, protecting
#                        ^/b/ and ^/app/secret); "token-b" issues a token with its key
#     TG_MULTI_PROCESS   1: the MPM's default process count; otherwise one child process (for
#                        prefork: one child serving one connection at a time), so that the
#                        reload URL reaches the only configuration record there is
#     TG_PROCESSES       N: exactly N child processes (prefork: N children; event and worker: N
#                        processes of 8 threads); overrides TG_MULTI_PROCESS
#     TG_STATUS          1: the status handler on /tokengate-status (Require ip 127.0.0.1), on
#                        the protected /app/tokengate-status, and on /tokengate-status-denied
#                        (Require ip 192.0.2.1); /app/rewritten.html, a protected page named for
#                        the handler that a rewrite rule gives to another; pid.log names the
#                        child process of each request
#   The broker's socket is held by broker-holder.py, as systemd's socket unit holds it; the
#   broker takes it from $LISTEN_FDS. "broker-restart" replaces the broker process the way an
#   upgrade does (the socket and the requests waiting in it stay); "broker-stop" takes the socket
#   away too, so that the gate sees no broker.
#   "up" writes $TG_WORK/env with PORT, OFF_PORT, BACKEND_PORT and the paths, for callers.
#   "token name=value..." prints a token issued with the site's key.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../../../.." && pwd)"
demo="$repo/demo"
: "${TG_BUILD:?TG_BUILD must name the build directory}"
: "${TG_WORK:?TG_WORK must name a working directory}"
TG_BUILD="$(cd "$TG_BUILD" && pwd)"

httpd_bin="$(command -v apache2 || echo /usr/sbin/apache2)"
apache_modules="$(apxs -q LIBEXECDIR 2>/dev/null || echo /usr/lib/apache2/modules)"
module="$TG_BUILD/modules/mod_tokengate.so"
broker_bin="$TG_BUILD/bin/logon-broker"
tokengate_bin="$TG_BUILD/bin/tokengate"

install_dir="$TG_WORK/install"
runtime_dir="$TG_WORK/run"
httpd_dir="$TG_WORK/httpd"
site_dir="$TG_WORK/site"
signon_dir="$TG_WORK/signon"

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

port_free() {
  /usr/bin/python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}

# Waits until `test` succeeds, at most about 10 seconds.
wait_for() {
  local i
  for ((i = 0; i < 100; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

stop_pid_file() {  # stop_pid_file FILE [SIGNAL]: the signal (default TERM), KILL after 10 s
  local file="$1" signal="${2:-TERM}" pid
  [[ -f "$file" ]] || return 0
  pid="$(cat "$file")"
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill "-$signal" "$pid" 2>/dev/null || true
    wait_for bash -c "! kill -0 $pid 2>/dev/null" || kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

fill() {  # fill TEMPLATE OUTPUT: replaces @NAME@ placeholders from the environment
  /usr/bin/python3 - "$1" "$2" <<'PY'
import os, re, sys
text = open(sys.argv[1]).read()
text = re.sub(r"@([A-Z_]+)@", lambda m: os.environ["TGV_" + m.group(1)], text)
open(sys.argv[2], "w").write(text)
PY
}

write_gate_conf() {
  export TGV_PORT="$PORT" TGV_ERROR_URL="${TG_ERROR_URL:-}" TGV_UPDATE_WINDOW="${TG_UPDATE_WINDOW:-5}"
  fill "$demo/cvisapi.conf.in" "$install_dir/conf/cvisapi.conf.new"
  if [[ "${TG_IWA:-0}" == 1 ]]; then
    echo "EnableIWA=YES" >>"$install_dir/conf/cvisapi.conf.new"
  fi
  mv -f "$install_dir/conf/cvisapi.conf.new" "$install_dir/conf/cvisapi.conf"
  chmod 0644 "$install_dir/conf/cvisapi.conf"
}

start_broker() {
  [[ -x "$broker_bin" ]] || { echo "logon-broker not built in $TG_BUILD" >&2; return 1; }
  rm -f "$TG_WORK/broker.pid"
  TOKENGATE_RUNTIME_DIR="$runtime_dir/" TOKENGATE_SOCKET_GROUP="$web_group" \
    setsid /usr/bin/python3 "$here/broker-holder.py" "$runtime_dir/TarvexWebLogonBroker" \
    "$web_group" "$TG_WORK/broker.pid" "$broker_bin" >>"$TG_WORK/broker.log" 2>&1 </dev/null &
  echo $! >"$TG_WORK/holder.pid"
  wait_for test -S "$runtime_dir/TarvexWebLogonBroker" -a -s "$TG_WORK/broker.pid" || {
    echo "logon-broker did not come up; see $TG_WORK/broker.log" >&2
    return 1
  }
}

stop_broker() {
  # SIGTERM: the holder stops the broker (which finishes its calls) and removes the socket.
  stop_pid_file "$TG_WORK/holder.pid" TERM
  stop_pid_file "$TG_WORK/broker.pid" TERM  # a broker left by a holder that was killed
  rm -f "$runtime_dir/TarvexWebLogonBroker"
}

# The broker process is replaced; the socket stays. Returns once the new broker runs.
restart_broker() {
  local old
  old="$(cat "$TG_WORK/broker.pid" 2>/dev/null || true)"
  [[ -f "$TG_WORK/holder.pid" ]] || { echo "no broker holder runs" >&2; return 1; }
  kill -HUP "$(cat "$TG_WORK/holder.pid")"
  wait_for bash -c "[[ -s '$TG_WORK/broker.pid' && \"\$(cat '$TG_WORK/broker.pid')\" != '$old' ]]" || {
    echo "the broker was not restarted; see $TG_WORK/broker.log" >&2
    return 1
  }
}

start_apache() {
  local apache_env=()
  if [[ -f "$TG_WORK/krb5.conf" ]]; then
    apache_env=(env "KRB5_CONFIG=$TG_WORK/krb5.conf")
  fi
  if [[ $(id -u) -ne 0 ]]; then
    # The broker runs as this user, not as root: the gate must be told to accept it.
    apache_env=(env "TOKENGATE_BROKER_UID=$(id -u)" "${apache_env[@]:1}")
  fi
  "${apache_env[@]}" "$httpd_bin" -f "$httpd_dir/httpd.conf" -k start || {
    echo "apache did not start; see $httpd_dir/error.log" >&2
    return 1
  }
  wait_for bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT" 2>/dev/null || {
    echo "apache is not answering on port $PORT; see $httpd_dir/error.log" >&2
    return 1
  }
}

stop_apache() {
  stop_pid_file "$httpd_dir/httpd.pid"
}

load_env() {
  [[ -f "$TG_WORK/env" ]] || { echo "no instance in $TG_WORK" >&2; exit 1; }
  # shellcheck disable=SC1091
  source "$TG_WORK/env"
}

issue_token() {  # issue_token PROPERTIES name=value...
  local props="$1"
  shift
  "$tokengate_bin" token issue --config "$props" "$@"
}

cmd_up() {
  [[ -f "$module" ]] || { echo "mod_tokengate.so not built in $TG_BUILD/modules" >&2; exit 1; }
  [[ -x "$tokengate_bin" ]] || { echo "tokengate not built in $TG_BUILD" >&2; exit 1; }
  mkdir -p "$TG_WORK"
  TG_WORK="$(cd "$TG_WORK" && pwd)"
  chmod 0755 "$TG_WORK"
  PORT="${TG_PORT:-}"
  if [[ -z "$PORT" ]]; then PORT="$(free_port)"; fi
  port_free "$PORT" || { echo "port $PORT is in use" >&2; exit 1; }
  OFF_PORT="${TG_OFF_PORT:-$(free_port)}"
  BACKEND_PORT="${TG_BACKEND_PORT:-$(free_port)}"

  if [[ $(id -u) -eq 0 ]]; then
    web_user=www-data web_group=www-data
    user_lines=$'User www-data\nGroup www-data'
  else
    web_user="$(id -un)" web_group="$(id -gn)"
    user_lines=""
  fi

  rm -rf "$install_dir" "$httpd_dir" "$site_dir" "$signon_dir" "$TG_WORK/bin"
  mkdir -p "$install_dir/conf" "$runtime_dir" "$httpd_dir" "$signon_dir" "$TG_WORK/bin"
  # The sign-on page runs as the web server's user: give it a copy of the token tool it can reach.
  install -m 0755 "$tokengate_bin" "$TG_WORK/bin/tokengate"
  cp -r "$demo/site" "$site_dir"
  # The application's header view also on an unprotected path, to show what reaches it there.
  install -m 0755 "$demo/site/app/index.cgi" "$site_dir/public/headers.cgi"
  # Who Apache thinks the user is (REMOTE_USER, AUTH_TYPE), under paths with Require rules.
  install -m 0755 "$here/iwa.cgi" "$site_dir/app/whoami.cgi"
  for dir in app/admin app/staff app/alice app/any public/members; do
    install -D -m 0755 "$here/iwa.cgi" "$site_dir/$dir/index.cgi"
  done
  rm -f "$TG_WORK/krb5.conf"
  if [[ "${TG_IWA:-0}" == 1 ]]; then
    install -m 0755 "$here/iwa.cgi" "$site_dir/app/iwa.cgi"
    install -D -m 0755 "$here/iwa.cgi" "$site_dir/app/iwa/index.cgi"
    if [[ -n "${KRB5_CONFIG:-}" ]]; then
      install -m 0644 "$KRB5_CONFIG" "$TG_WORK/krb5.conf"
    fi
  fi
  chmod -R a+rX "$site_dir" "$install_dir"
  chgrp "$web_group" "$runtime_dir"
  chmod 0750 "$runtime_dir"

  # The codec key: the broker's copy (0600, its own) and the sign-on page's copy (the federation
  # server holds the same key).
  local props="$install_dir/conf/agent-config.txt"
  "$tokengate_bin" token keygen "$props" --lifetime "${TG_TOKEN_LIFETIME:-300}" --force >/dev/null
  sed -i 's/^ClockSkew=.*/ClockSkew=0/' "$props"
  install -m 0600 -o "$web_user" -g "$web_group" "$props" "$signon_dir/agent-config.txt"
  write_gate_conf
  if [[ "${TG_SECOND_SITE:-0}" == 1 ]]; then
    SITE_B_PORT="$(free_port)"
    mkdir -p "$install_dir-b/conf" "$site_dir/b"
    "$tokengate_bin" token keygen "$install_dir-b/conf/agent-config.txt" --force >/dev/null
    cat >"$install_dir-b/conf/cvisapi.conf" <<CONF
[ISAPI]
TesseraName=SiteBToken
ProtectedResourceList=^/b/|^/app/secret
SSOUrl=http://127.0.0.1:$SITE_B_PORT/signon/login.cgi
AuthenticationPrefix=SiteB-
TokenUpdateWindow=-1
CONF
    chmod -R a+rX "$install_dir-b/conf/cvisapi.conf" "$site_dir/b"
    install -m 0755 "$demo/site/app/index.cgi" "$site_dir/b/index.cgi"
  fi

  # Basic-auth user for the load test comparison.
  htpasswd -bcB -C 4 "$httpd_dir/htpasswd" load load 2>/dev/null
  chmod 0644 "$httpd_dir/htpasswd"

  local mpm_lines=""
  if [[ -n "${TG_PROCESSES:-}" ]]; then
    local n="$TG_PROCESSES"
    if [[ "${TG_MPM:-event}" == prefork ]]; then
      mpm_lines="ServerLimit $n"$'\n'"StartServers $n"$'\n'"MinSpareServers $n"$'\n'"MaxSpareServers $n"$'\n'"MaxRequestWorkers $n"
    else
      mpm_lines="ServerLimit $n"$'\n'"StartServers $n"$'\n'"ThreadsPerChild 8"$'\n'"MaxRequestWorkers $((n * 8))"$'\n'"MinSpareThreads 8"$'\n'"MaxSpareThreads $((n * 8))"
    fi
  elif [[ "${TG_MULTI_PROCESS:-0}" != 1 ]]; then
    if [[ "${TG_MPM:-event}" == prefork ]]; then
      mpm_lines=$'ServerLimit 1\nStartServers 1\nMinSpareServers 1\nMaxSpareServers 1\nMaxRequestWorkers 1\nKeepAliveTimeout 1'
    else
      mpm_lines=$'ServerLimit 1\nStartServers 1\nThreadsPerChild 64\nMaxRequestWorkers 64\nMinSpareThreads 1\nMaxSpareThreads 64'
    fi
  fi
  local cgi=cgid
  [[ "${TG_MPM:-event}" == prefork ]] && cgi=cgi
  export TGV_HTTPD_DIR="$httpd_dir" TGV_PORT="$PORT" TGV_OFF_PORT="$OFF_PORT" \
    TGV_BACKEND_PORT="$BACKEND_PORT" TGV_GATE_LOG_LEVEL="${TG_GATE_LOG_LEVEL:-info}" \
    TGV_USER_LINES="$user_lines" TGV_MPM_LINES="$mpm_lines" TGV_MPM="${TG_MPM:-event}" TGV_APACHE_MODULES="$apache_modules" \
    TGV_CGI_MODULE="$cgi" TGV_MODULE="$module" TGV_INSTALL_DIR="$install_dir" \
    TGV_RUNTIME_DIR="$runtime_dir/" TGV_SITE_DIR="$site_dir" TGV_TOKENGATE_BIN="$TG_WORK/bin/tokengate" \
    TGV_SIGNON_PROPERTIES="$signon_dir/agent-config.txt"
  fill "$demo/httpd.conf.in" "$httpd_dir/httpd.conf"
  if [[ "${TG_IWA:-0}" == 1 ]]; then
    # A page that is not there is answered by the CGI through an internal redirect.
    echo "ErrorDocument 404 /app/iwa.cgi" >>"$httpd_dir/httpd.conf"
  fi
  # Authorization on the token's attributes and user, inside the protected site.
  cat >>"$httpd_dir/httpd.conf" <<'CONF'

<Location /app/admin/>
  Require tokengate-attribute role admin
</Location>
<Location /app/staff/>
  <RequireAll>
    Require tokengate-attribute role staff admin
    <RequireNone>
      Require tokengate-attribute status suspended
    </RequireNone>
  </RequireAll>
</Location>
<Location /app/alice/>
  Require user alice
</Location>
<Location /app/any/>
  Require valid-user
</Location>
<Location /public/members/>
  Require tokengate-attribute role staff
</Location>
CONF
  if [[ "${TG_SECOND_SITE:-0}" == 1 ]]; then
    cat >>"$httpd_dir/httpd.conf" <<CONF

# A second site with a gate configuration of its own.
Listen 127.0.0.1:$SITE_B_PORT
<VirtualHost 127.0.0.1:$SITE_B_PORT>
  TokenGate On
  TokenGateInstallPath "$install_dir-b/"
  DocumentRoot "$site_dir"
  <Directory "$site_dir">
    Options +ExecCGI
    AddHandler cgi-script .cgi
    Require all granted
  </Directory>
</VirtualHost>
CONF
  fi
  if [[ "${TG_STATUS:-0}" == 1 ]]; then
    cp "$site_dir/app/static.html" "$site_dir/app/rewritten.html"
    cat >>"$httpd_dir/httpd.conf" <<CONF

# The gate's counters, for every site of the server.
<IfModule !authz_host_module>
  LoadModule authz_host_module $apache_modules/mod_authz_host.so
</IfModule>
<IfModule !rewrite_module>
  LoadModule rewrite_module $apache_modules/mod_rewrite.so
</IfModule>
<Location /tokengate-status>
  SetHandler tokengate-status
  Require ip 127.0.0.1
</Location>
# Also where the gate protects every other request.
<Location /app/tokengate-status>
  SetHandler tokengate-status
  Require ip 127.0.0.1
</Location>
<Location /tokengate-status-denied>
  SetHandler tokengate-status
  Require ip 192.0.2.1
</Location>
# A protected page named for the status handler that a rewrite rule hands to another handler.
<Location /app/rewritten.html>
  SetHandler tokengate-status
  Require ip 127.0.0.1
  RewriteEngine On
  RewriteRule .* - [H=default-handler]
</Location>
LogFormat "%P %>s %U" tgpid
CustomLog "$httpd_dir/pid.log" tgpid
CONF
  fi
  chown "$web_user" "$httpd_dir"

  cat >"$TG_WORK/env" <<ENV
PORT=$PORT
OFF_PORT=$OFF_PORT
BACKEND_PORT=$BACKEND_PORT
web_group=$web_group
ERROR_LOG=$httpd_dir/error.log
BROKER_LOG=$TG_WORK/broker.log
GATE_CONF=$install_dir/conf/cvisapi.conf
PROPERTIES=$props
TOKENGATE=$tokengate_bin
SITE_B_PORT=${SITE_B_PORT:-0}
PROPERTIES_B=$install_dir-b/conf/agent-config.txt
GATE_CONF_B=$install_dir-b/conf/cvisapi.conf
ENV

  start_broker
  setsid /usr/bin/python3 "$demo/echo_backend.py" "$BACKEND_PORT" >/dev/null 2>&1 </dev/null &
  echo $! >"$TG_WORK/backend.pid"
  # Proxied requests fail with 503 until the backend listens.
  wait_for bash -c "exec 3<>/dev/tcp/127.0.0.1/$BACKEND_PORT" 2>/dev/null || {
    echo "the echo backend is not answering on port $BACKEND_PORT" >&2
    return 1
  }
  start_apache
}

cmd_down() {
  [[ -f "$TG_WORK/env" ]] || return 0
  load_env
  stop_apache
  stop_pid_file "$TG_WORK/backend.pid"
  stop_broker
}

case "${1:-}" in
  up) cmd_up ;;
  down) cmd_down ;;
  broker-stop) load_env; stop_broker ;;
  broker-start) load_env; start_broker ;;
  broker-restart) load_env; restart_broker ;;
  apache-restart) load_env; stop_apache; start_apache ;;
  reconf) load_env; write_gate_conf ;;
  token) load_env; shift; issue_token "$PROPERTIES" "$@" ;;
  token-b) load_env; shift; issue_token "$PROPERTIES_B" "$@" ;;
  *) echo "usage: $0 up|down|broker-stop|broker-start|broker-restart|apache-restart|reconf|token|token-b name=value..." >&2; exit 2 ;;
esac
