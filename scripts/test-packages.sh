#!/usr/bin/env bash
# Builds the Debian packages and installs them on this machine the way a new administrator
# would, then serves a protected site from the system Apache with them:
#   1. packages built twice (an older version, then the tree's), lintian run on them;
#   2. the older ones installed with apt-get (apt resolves the dependencies), the gate
#      configured (key made with the installed CLI, conf edited, a site with "TokenGate On"
#      enabled), then upgraded to the tree's version: configuration and key must survive;
#   3. the packaged units compared with what `logon-broker -install` writes;
#   4. the broker started the way its systemd units start it (scripts/run-unit.py: there is no
#      systemd in CI), Apache started with apache2ctl, and a curl walk: unprotected page,
#      sign-on redirect, token -> protected page with attribute headers, logout;
#   5. Apache and the broker stopped, the packages removed (configuration kept), then purged:
#      nothing of them may be left, and the machine's Apache and systemd configuration must be
#      as before.
# Runs as root on a machine whose system Apache is not otherwise used: it refuses to start when
# that Apache runs or TokenGate is already installed, and never leaves Apache running.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
started=$SECONDS

fail() {
  echo "test-packages: FAIL: $*" >&2
  exit 1
}
step() { printf '\n-- %s (%ss)\n' "$*" "$((SECONDS - started))"; }

[[ $(id -u) -eq 0 ]] || fail "must run as root (it installs packages)"

# --- refuse to touch a machine that uses what this test changes ---------------------------
# shellcheck disable=SC1091
apache_pid_file="$(set +eu; . /etc/apache2/envvars >/dev/null 2>&1; echo "${APACHE_PID_FILE:-/run/apache2/apache2.pid}")"
apache_run_dir="$(set +eu; . /etc/apache2/envvars >/dev/null 2>&1; echo "${APACHE_RUN_DIR:-/run/apache2}")"
apache_run_dir_existed=0
[[ -e "$apache_run_dir" ]] && apache_run_dir_existed=1
apache_running() {
  local pid
  pid="$(cat "$apache_pid_file" 2>/dev/null)" || return 1
  [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null
}
apache_running && fail "the system Apache is running; this test starts and stops it itself"
for pkg in tokengate-broker libapache2-mod-tokengate; do
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q -v 'not-installed'; then
    fail "$pkg is installed (or has configuration left); this test installs and purges it"
  fi
done
[[ ! -e /etc/tokengate ]] || fail "/etc/tokengate exists; this test creates and purges it"
[[ ! -e /run/TarvexWebAgent ]] || fail "/run/TarvexWebAgent exists: is a broker running?"

port_free() {
  /usr/bin/python3 -c 'import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind((sys.argv[1], int(sys.argv[2])))' "$@" 2>/dev/null
}
for listen_port in $(awk '$1 == "Listen" { n = split($2, a, ":"); print a[n] }' /etc/apache2/ports.conf); do
  port_free 0.0.0.0 "$listen_port" ||
    fail "port $listen_port (Listen in /etc/apache2/ports.conf) is in use; the system Apache could not start"
done
port="$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"

bash scripts/deps.sh package apache
command -v curl >/dev/null || bash scripts/deps.sh test

work="$(mktemp -d /tmp/tg-packages.XXXXXX)"
chmod 0755 "$work"
site_name=tokengate-package-test
site_file=/etc/apache2/sites-available/$site_name.conf
key_file=/etc/tokengate/conf/agent-config.txt
conf_file=/etc/tokengate/conf/cvisapi.conf
old_dir="$repo/build/package-test/old"
new_dir="$repo/build/packages"

# What the machine's Apache configuration and the packages' paths look like before: compared at
# the end. Of the systemd directories only the broker's entries are compared (other packages
# may be installed on this machine meanwhile).
watched=(/etc/apache2 /var/lib/apache2 /usr/lib/apache2/modules /etc/tokengate
         /usr/sbin/logon-broker /usr/bin/tokengate /run/TarvexWebAgent)
systemd_dirs=(/etc/systemd/system /lib/systemd/system /var/lib/systemd/deb-systemd-helper-enabled
              /var/lib/systemd/deb-systemd-helper-masked)
snapshot() {
  local p
  {
    for p in "${watched[@]}"; do
      if [[ -e "$p" || -L "$p" ]]; then find "$p" -printf '%p %M %u:%g\n'; fi
    done
    for p in "${systemd_dirs[@]}"; do
      if [[ -e "$p" ]]; then find "$p" -name 'TarvexWebAgent*' -printf '%p %M %u:%g\n'; fi
    done
  } | sort
}
snapshot >"$work/before.txt"

cgid_enabled_here=0
broker_pid=""
cleanup() {
  local rc=$?
  set +e
  if apache_running; then
    apache2ctl stop >/dev/null 2>&1
    for _ in $(seq 100); do apache_running || break; sleep 0.1; done
    apache_running && kill -KILL "$(cat "$apache_pid_file" 2>/dev/null)" 2>/dev/null
  fi
  # apache2ctl made Apache's runtime directory (cgid's socket directory inside it).
  if [[ $apache_run_dir_existed -eq 0 ]] && ! apache_running; then rm -rf "$apache_run_dir"; fi
  if [[ -n "$broker_pid" ]] && kill -0 "$broker_pid" 2>/dev/null; then
    kill -TERM "$broker_pid"
    wait "$broker_pid" 2>/dev/null
  fi
  if [[ -e "$site_file" ]]; then
    a2dissite -q -p "$site_name" >/dev/null 2>&1
    rm -f "$site_file"
  fi
  [[ $cgid_enabled_here -eq 1 ]] && a2dismod -q -p cgid >/dev/null 2>&1
  local installed=()
  for pkg in libapache2-mod-tokengate tokengate-broker; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q -v 'not-installed' && installed+=("$pkg")
  done
  if ((${#installed[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${installed[@]}" >/dev/null 2>&1 </dev/null
  fi
  rm -rf /run/TarvexWebAgent
  # a2enmod/a2dismod leave their (empty) state directories behind.
  find /var/lib/apache2 -mindepth 1 -type d -empty 2>/dev/null | while read -r d; do
    grep -q "^$d " "$work/before.txt" || rmdir "$d"
  done
  if [[ $rc -ne 0 ]]; then
    for log in "$work/apt.log" "$work/broker.log" "$work/error.log"; do
      [[ -s "$log" ]] && { echo "--- last lines of $log"; tail -n 40 "$log"; }
    done
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

apt_get() {  # apt_get ARGS...: as an administrator would, output to apt.log
  echo "+ apt-get $*" >>"$work/apt.log"
  DEBIAN_FRONTEND=noninteractive apt-get -y "$@" >>"$work/apt.log" 2>&1 </dev/null ||
    fail "apt-get $* failed (see the log above)"
}
installed_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null; }

# --- 1. build -------------------------------------------------------------------------------
new_version="$(head -n1 VERSION)"
old_version="0.0"
dpkg --compare-versions "$old_version" lt "$new_version" ||
  fail "VERSION ($new_version) must be above $old_version for the upgrade test"
step "packages $old_version (for the upgrade) and $new_version"
TG_VERSION="$old_version" TG_PACKAGE_DIR="$old_dir" bash scripts/package.sh >"$work/build-old.log" 2>&1 ||
  { tail -n 40 "$work/build-old.log"; fail "building the $old_version packages failed"; }
bash scripts/package.sh >"$work/build-new.log" 2>&1 ||
  { tail -n 40 "$work/build-new.log"; fail "building the $new_version packages failed"; }
ls "$new_dir"/*.deb

step "lintian"
lintian --display-info "$new_dir"/*.deb >"$work/lintian.txt" 2>&1 || true
grep -E '^[EWI]:' "$work/lintian.txt" || echo "(no tags)"
! grep -q '^E:' "$work/lintian.txt" || fail "lintian reports errors"

# --- 2. install the older packages, configure, upgrade --------------------------------------
step "install $old_version with apt-get"
apt_get install "$old_dir"/*.deb
[[ "$(installed_version tokengate-broker)" == "$old_version" ]] || fail "tokengate-broker $old_version not installed"
[[ "$(installed_version libapache2-mod-tokengate)" == "$old_version" ]] || fail "libapache2-mod-tokengate $old_version not installed"
grep -q "tokengate token keygen $key_file" "$work/apt.log" ||
  fail "the postinst did not print the keygen command"
grep '^tokengate-broker:' "$work/apt.log" | sed 's/^/  postinst says: /'
[[ ! -e "$key_file" ]] || fail "a key was shipped or made at install"
a2query -q -m tokengate || fail "the module was not enabled on install"
[[ -L /etc/systemd/system/multi-user.target.wants/TarvexWebAgent.service &&
   -L /etc/systemd/system/sockets.target.wants/TarvexWebAgent.socket ]] ||
  fail "the units were not enabled on install"

step "configure the gate and a site as an administrator"
tokengate token keygen "$key_file" >/dev/null
[[ "$(stat -c '%u:%g %a' "$key_file")" == "0:0 600" ]] || fail "the key is not root-owned 0600"
sed -i -e "s|^ProtectedResourceList=.*|ProtectedResourceList=^/app/|" \
       -e "s|^SSOUrl=.*|SSOUrl=http://127.0.0.1:$port/signon/login.cgi|" \
       -e "s|^CancelUrl=.*|CancelUrl=^/logout|" \
       -e "s|^CorvaneBaseUrl=.*|CorvaneBaseUrl=http://127.0.0.1:$port/signon/|" "$conf_file"
tokengate config check "$conf_file" >"$work/config-check.txt" ||
  { cat "$work/config-check.txt"; fail "tokengate config check warns about the configured template"; }
# The template lists every key the gate reads, so that an administrator edits a line in place.
if grep -E '\[default\]$' "$work/config-check.txt"; then
  fail "keys above are missing from the packaged $conf_file template"
fi
mkdir -p "$work/site/app"
echo "Public page" >"$work/site/index.html"
cat >"$work/site/app/index.cgi" <<'EOF'
#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\n'
echo "Protected application"
env | grep '^HTTP_' | sort
EOF
chmod 0755 "$work/site/app/index.cgi"
cat >"$site_file" <<EOF
# TokenGate package test (scripts/test-packages.sh); removed when the test ends.
Listen 127.0.0.1:$port
<VirtualHost 127.0.0.1:$port>
    ServerName 127.0.0.1
    DocumentRoot $work/site
    ErrorLog $work/error.log
    CustomLog $work/access.log combined
    LogLevel warn tokengate:info
    TokenGate On
    <Directory $work/site>
        Require all granted
        DirectoryIndex index.html index.cgi
    </Directory>
    <Directory $work/site/app>
        Options +ExecCGI
        AddHandler cgi-script .cgi
    </Directory>
</VirtualHost>
EOF
a2enmod -q tokengate
if ! a2query -q -m cgid; then
  a2enmod -q cgid
  cgid_enabled_here=1
fi
a2ensite -q "$site_name"
conf_sum="$(md5sum <"$conf_file")"
key_sum="$(md5sum <"$key_file")"

step "upgrade to $new_version with apt-get"
apt_get install "$new_dir"/*.deb
[[ "$(installed_version tokengate-broker)" == "$new_version" ]] || fail "tokengate-broker was not upgraded"
[[ "$(installed_version libapache2-mod-tokengate)" == "$new_version" ]] || fail "libapache2-mod-tokengate was not upgraded"
[[ "$(md5sum <"$conf_file")" == "$conf_sum" ]] || fail "the upgrade changed the edited $conf_file"
[[ "$(md5sum <"$key_file")" == "$key_sum" && "$(stat -c '%u:%g %a' "$key_file")" == "0:0 600" ]] ||
  fail "the upgrade changed the key"
grep -q "no codec key yet" "$work/apt.log" && [[ $(grep -c "no codec key yet" "$work/apt.log") -eq 1 ]] ||
  fail "the postinst asked for a key although one exists"
a2query -q -m tokengate || fail "the module is no longer enabled after the upgrade"
a2query -q -s "$site_name" || fail "the site is no longer enabled after the upgrade"

# --- 3. the units against -install ----------------------------------------------------------
step "packaged units against logon-broker -install"
bash scripts/check-units.sh /usr/sbin/logon-broker /lib/systemd/system

# --- 4. broker, Apache, curl walk -----------------------------------------------------------
step "start the broker as its units do, and Apache with apache2ctl"
/usr/bin/python3 scripts/run-unit.py /lib/systemd/system/TarvexWebAgent.service \
  --socket /lib/systemd/system/TarvexWebAgent.socket --pid-file "$work/broker.pid" \
  --log "$work/broker.log" 2>>"$work/broker.log" &
broker_pid=$!
for _ in $(seq 200); do
  [[ -s "$work/broker.pid" ]] && break
  kill -0 "$broker_pid" 2>/dev/null || fail "the broker did not start"
  sleep 0.1
done
[[ -s "$work/broker.pid" ]] || fail "the broker did not report ready"
[[ "$(stat -c '%U:%G %a' /run/TarvexWebAgent)" == "root:www-data 750" ]] ||
  fail "runtime directory is $(stat -c '%U:%G %a' /run/TarvexWebAgent), not root:www-data 750"
[[ "$(stat -c '%U:%G %a' /run/TarvexWebAgent/TarvexWebLogonBroker)" == "root:www-data 660" ]] ||
  fail "socket is $(stat -c '%U:%G %a' /run/TarvexWebAgent/TarvexWebLogonBroker), not root:www-data 660"
apache2ctl configtest >"$work/configtest.txt" 2>&1 || { cat "$work/configtest.txt"; fail "apache2ctl configtest failed"; }
apache2ctl start >>"$work/configtest.txt" 2>&1 || { cat "$work/configtest.txt"; fail "apache2ctl start failed"; }
base="http://127.0.0.1:$port"
for _ in $(seq 100); do
  curl -s -o /dev/null "$base/" && break
  sleep 0.1
done

fetch() {  # fetch NAME PATH [curl args]: status in $status, headers in NAME.h, body in NAME.b
  local name="$1" path="$2"
  shift 2
  status="$(curl -sS -o "$work/$name.b" -D "$work/$name.h" -w '%{http_code}' "$@" "$base$path")"
}
header() { grep -i "^$2:" "$work/$1.h" | head -n1 | cut -d' ' -f2- | tr -d '\r'; }

step "curl walk on $base"
fetch public /index.html
[[ "$status" == 200 ]] && grep -q "Public page" "$work/public.b" || fail "unprotected page: status $status"
echo "  unprotected page: 200"

fetch signon /app/
location="$(header signon location)"
[[ "$status" == 302 && "$location" == "$base/signon/login.cgi?TargetResource="* ]] ||
  fail "protected page without a token: status $status, Location '$location'"
echo "  protected page without a token: 302 to $location"

token="$(tokengate token issue --config "$key_file" subject=alice role=admin)"
fetch app /app/ -H "Cookie: TesseraToken=$token" -H "Tarvex-subject: mallory"
[[ "$status" == 200 ]] || fail "protected page with a token: status $status"
grep -q "Protected application" "$work/app.b" || fail "protected page: no application output"
grep -q -x "HTTP_TARVEX_SUBJECT=alice" "$work/app.b" || { cat "$work/app.b"; fail "no Tarvex-subject: alice header"; }
grep -q -x "HTTP_TARVEX_ROLE=admin" "$work/app.b" || { cat "$work/app.b"; fail "no Tarvex-role: admin header"; }
! grep -q mallory "$work/app.b" || fail "a client-sent Tarvex-subject header reached the application"
echo "  protected page with a token: 200, Tarvex-subject alice, Tarvex-role admin (client's header removed)"

fetch logout "/logout?resume=/logout.html" -H "Cookie: TesseraToken=$token"
location="$(header logout location)"
cookie="$(header logout set-cookie)"
[[ "$status" == 302 && "$location" == "$base/signon/logout.html" ]] ||
  fail "logout: status $status, Location '$location'"
[[ "$cookie" == "TesseraToken=; expires=Thu, 01 Jan 1970 00:00:00 GMT"* ]] || fail "logout: cookie '$cookie'"
echo "  logout: 302 to $location, cookie cleared"

grep -q "Attributes from Tessera are being added as request headers" "$work/error.log" ||
  fail "the gate's events are not in the site's error log"

# --- 5. stop, remove, purge -----------------------------------------------------------------
step "stop Apache and the broker"
apache2ctl stop >/dev/null 2>&1
for _ in $(seq 100); do apache_running || break; sleep 0.1; done
apache_running && fail "Apache did not stop"
kill -TERM "$broker_pid"
wait "$broker_pid" || fail "the broker did not stop cleanly (see broker.log)"
broker_pid=""
[[ ! -e /run/TarvexWebAgent/TarvexWebLogonBroker ]] || fail "the socket is left after the broker stopped"
a2dissite -q -p "$site_name"
rm -f "$site_file"

step "remove (configuration kept), then purge"
apt_get remove libapache2-mod-tokengate tokengate-broker
for f in "$conf_file" "$key_file" /etc/apache2/mods-available/tokengate.load /etc/apache2/mods-available/tokengate.conf; do
  [[ -e "$f" ]] || fail "remove deleted $f"
done
for f in /usr/sbin/logon-broker /usr/bin/tokengate /usr/lib/apache2/modules/mod_tokengate.so \
         /etc/apache2/mods-enabled/tokengate.load /lib/systemd/system/TarvexWebAgent.service \
         /run/TarvexWebAgent; do
  [[ ! -e "$f" ]] || fail "remove left $f"
done
apt_get purge libapache2-mod-tokengate tokengate-broker
for pkg in libapache2-mod-tokengate tokengate-broker; do
  ! dpkg -L "$pkg" >/dev/null 2>&1 || fail "$pkg is still known to dpkg after purge"
done
left="$(find /etc/tokengate /etc/apache2/mods-*/tokengate* /usr/lib/apache2/modules/mod_tokengate.so \
        /lib/systemd/system/TarvexWebAgent.* /run/TarvexWebAgent 2>/dev/null || true)"
[[ -z "$left" ]] || fail "purge left: $left"

[[ $cgid_enabled_here -eq 1 ]] && a2dismod -q -p cgid
cgid_enabled_here=0
find /var/lib/apache2 -mindepth 1 -type d -empty | while read -r d; do
  grep -q "^$d " "$work/before.txt" || rmdir "$d"
done
snapshot >"$work/after.txt"
diff -u "$work/before.txt" "$work/after.txt" || fail "the machine's configuration differs from before the test"

step "packages installed, upgraded, served a site, removed and purged: all passed in $((SECONDS - started)) s"
