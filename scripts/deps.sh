#!/usr/bin/env bash
# Installs the Debian packages that the given package groups need, skipping what is installed.
# Usage: scripts/deps.sh build [test] [cross] [fuzz] [apache] [package] ...
set -euo pipefail

declare -A PKG_GROUPS=(
  [build]="cmake ninja-build g++ pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev libkrb5-dev"
  [test]="curl python3 procps krb5-kdc krb5-admin-server krb5-user"
  [cross]="g++-mingw-w64-x86-64-posix mingw-w64-tools"
  [fuzz]="clang libclang-rt-14-dev libfuzzer-14-dev"
  [apache]="apache2 apache2-dev"
  [package]="cmake ninja-build g++ pkg-config libssl-dev libkrb5-dev apache2-dev dpkg-dev debhelper lintian devscripts"
)

want=()
for group in "$@"; do
  [[ -n "${PKG_GROUPS[$group]+x}" ]] || { echo "deps.sh: unknown group '$group'" >&2; exit 2; }
  for pkg in ${PKG_GROUPS[$group]}; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      want+=("$pkg")
    fi
  done
done

if ((${#want[@]})); then
  echo "Installing: ${want[*]}"
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
fi
