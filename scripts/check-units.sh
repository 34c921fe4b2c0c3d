#!/usr/bin/env bash
# Compares the systemd units the tokengate-broker package ships with the ones
# `logon-broker -install` writes, setting for setting (comments and blank lines aside), so that
# a package install and a from-source install run the broker the same way.
#
# `-install` runs in a private mount namespace: /etc/systemd/system and /run/systemd are empty
# tmpfs mounts there (with the /run/systemd/system marker that says systemd runs) and
# `systemctl` is a stand-in that succeeds, so nothing outside the namespace changes.
#
# Usage: check-units.sh [PROGRAM [UNIT_DIR]]   (as root)
#   PROGRAM   the installed broker (default /usr/sbin/logon-broker; -install writes its own
#             path into ExecStart=, so use the path the package installs)
#   UNIT_DIR  where the package's units are (default /lib/systemd/system)
# Exit 0: the same; 1: they differ (the differences are printed); 2: could not be checked.
set -euo pipefail

program="${1:-/usr/sbin/logon-broker}"
unit_dir="${2:-/lib/systemd/system}"
name=TarvexWebAgent

[[ $(id -u) -eq 0 ]] || { echo "check-units.sh: needs root (mount namespace)" >&2; exit 2; }
[[ -x "$program" ]] || { echo "check-units.sh: $program is not an executable" >&2; exit 2; }

work="$(mktemp -d /tmp/check-units.XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/written"
cat >"$work/bin/systemctl" <<'EOF'
#!/bin/sh
# systemctl stand-in: every command succeeds; the units are inactive.
case " $* " in
  *" show "*) echo inactive ;;
esac
exit 0
EOF
chmod 0755 "$work/bin/systemctl"

unshare --mount --propagation private -- /bin/sh -ec '
  mount -t tmpfs -o mode=0755 tmpfs /etc/systemd/system
  mount -t tmpfs -o mode=0755 tmpfs /run/systemd
  mkdir /run/systemd/system
  PATH="$1/bin:$PATH" TOKENGATE_SOCKET_GROUP=www-data "$2" -install >"$1/install.out" 2>&1 || true
  for f in /etc/systemd/system/*; do [ -f "$f" ] && cp "$f" "$1/written/"; done
' sh "$work" "$program"

settings() {  # the unit's lines other than comments and blank lines
  grep -v -E '^[[:space:]]*([#;]|$)' "$1"
}

if [[ ! -f "$work/written/$name.service" ]]; then
  echo "check-units.sh: '$program -install' wrote no $name.service:" >&2
  cat "$work/install.out" >&2
  exit 2
fi
status=0
if [[ ! -f "$work/written/$name.socket" ]]; then
  # A broker from before the socket unit: it binds the socket itself and refuses one that
  # systemd already holds, so the packaged units cannot run it.
  echo "check-units.sh: '$program -install' writes no $name.socket: this broker predates the" \
       "socket-activated units the package ships" >&2
  status=1
fi

for unit in "$name.service" "$name.socket"; do
  if [[ ! -f "$unit_dir/$unit" ]]; then
    echo "check-units.sh: the package ships no $unit_dir/$unit" >&2
    status=1
    continue
  fi
  [[ -f "$work/written/$unit" ]] || continue
  if ! diff -u --label "packaged $unit" --label "written by -install" \
      <(settings "$unit_dir/$unit") <(settings "$work/written/$unit"); then
    status=1
  fi
done
extra="$(cd "$work/written" && ls | grep -v -x -e "$name.service" -e "$name.socket" || true)"
if [[ -n "$extra" ]]; then
  echo "check-units.sh: -install also wrote: $extra (not shipped by the package)" >&2
  status=1
fi
if [[ $status -eq 0 ]]; then
  echo "packaged $name.service and $name.socket match what '$program -install' writes"
fi
exit $status
