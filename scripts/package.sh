#!/usr/bin/env bash
# Builds the Debian packages libapache2-mod-tokengate and tokengate-broker with
# dpkg-buildpackage. The tree is copied to build/package/src/ (dpkg-buildpackage writes into the
# source tree and its parent directory); debian/changelog is written there from the VERSION
# file, so CMake's project version and the packages' version are the same. The packages land
# in build/packages/ (or $TG_PACKAGE_DIR), replacing the ones of an earlier run.
#
# Usage: scripts/package.sh [--clean]
#   --clean          build from an empty CMake build directory (default: reuse
#                    build/package/obj, so a second run only recompiles what changed)
#   TG_VERSION=X.Y.Z build under another version than VERSION's (numbers only); the copy's
#                    VERSION file is rewritten so that CMake agrees
#   TG_PACKAGE_DIR   folder the packages are moved to (default build/packages)
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"

clean=0
for arg in "$@"; do
  case "$arg" in
    --clean) clean=1 ;;
    *) echo "usage: $0 [--clean]" >&2; exit 2 ;;
  esac
done

version="${TG_VERSION:-$(head -n1 VERSION)}"
if [[ ! "$version" =~ ^[0-9]+(\.[0-9]+){1,3}$ ]]; then
  echo "package.sh: version '$version' is not of the form 1.2 to 1.2.3.4" >&2
  exit 2
fi
out_dir="${TG_PACKAGE_DIR:-$repo/build/packages}"
work="$repo/build/package"
src="$work/src/tokengate"
obj="$work/obj"

bash scripts/deps.sh package

# A fresh copy of the tree (what git tracks plus new files it does not ignore, or everything
# but build/ outside a checkout), modification times kept so that the reused build directory
# recompiles only changed sources.
rm -rf "$work/src"
mkdir -p "$src" "$out_dir"
if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$repo" ls-files -z --cached --others --exclude-standard |
    (cd "$repo" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    tar -C "$repo" --null -T - -cf - | tar -C "$src" -xpf -
else
  tar -C "$repo" --exclude=./build -cf - . | tar -C "$src" -xpf -
fi
printf '%s\n' "$version" >"$src/VERSION"
[[ "$clean" -eq 1 ]] && rm -rf "$obj"

# The changelog dpkg takes the version from; the date is the last commit's, so that two builds
# of one commit are the same.
date="$(git -C "$repo" log -1 --format=%aD 2>/dev/null || date -R)"
cat >"$src/debian/changelog" <<CHANGELOG
tokengate ($version) unstable; urgency=medium

  * Version $version, built from the tree by scripts/package.sh.

 -- TokenGate maintainers <maintainers@users.noreply.c-seed-b1f5708b.example>  $date
CHANGELOG

# --no-pre-clean: the copy is new, and cleaning would delete the reused CMake build directory.
build_options="parallel=$(nproc)"
[[ -n "${DEB_BUILD_OPTIONS:-}" ]] && build_options="$DEB_BUILD_OPTIONS $build_options"
(cd "$src" && B="$obj" DEB_BUILD_OPTIONS="$build_options" dpkg-buildpackage -b -us -uc --no-pre-clean)

# The packages an administrator installs go to $out_dir itself (so that
# `apt-get install ./build/packages/*.deb` installs exactly them); the debug symbols and the
# build records to its debug/ folder.
rm -rf "$out_dir/debug"
rm -f "$out_dir"/*.deb
mkdir -p "$out_dir/debug"
shopt -s nullglob
for f in "$work/src"/*.deb "$work/src"/*.ddeb "$work/src"/*.changes "$work/src"/*.buildinfo; do
  case "$f" in
    *-dbgsym_*|*.ddeb|*.changes|*.buildinfo) mv "$f" "$out_dir/debug/" ;;
    *) mv "$f" "$out_dir/" ;;
  esac
done
echo "Packages in $out_dir:"
(cd "$out_dir" && ls -1 ./*.deb)
