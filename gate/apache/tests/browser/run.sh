#!/usr/bin/env bash
# Real-browser test of the web demo: headless Debian chromium driven by playwright-core (no browser
# download). Installs chromium, node and playwright-core when missing; builds the module, the
# broker and the token tool in $TG_BUILD (default build/debug); starts a private site; walks it.
# Exit status 0 on success. On failure a screenshot lands in $TG_BROWSER_OUT (default
# build/browser-test).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../../../.." && pwd)"
export TG_BUILD="${TG_BUILD:-$repo/build/debug}"
out="${TG_BROWSER_OUT:-$repo/build/browser-test}"
cache="${TG_PLAYWRIGHT_DIR:-$HOME/.cache/tokengate-playwright}"

need=()
[[ -x /usr/bin/chromium ]] || need+=(chromium)
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if ((${#need[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [[ ! -d "$cache/node_modules/playwright-core" ]]; then
  mkdir -p "$cache"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --silent --no-audit --no-fund --prefix "$cache" \
    playwright-core@1 >/dev/null
fi

if [[ ! -f "$TG_BUILD/CMakeCache.txt" ]]; then
  cmake -S "$repo" -B "$TG_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$TG_BUILD" --target mod_tokengate logon-broker tokengate -j 2 >/dev/null

export TG_WORK="$(mktemp -d /tmp/tokengate-browser.XXXXXX)"
export TG_UPDATE_WINDOW=2 TG_TOKEN_LIFETIME=300
harness="$repo/gate/apache/tests/harness/private-apache.sh"
cleanup() {
  bash "$harness" down || true
  rm -rf "$TG_WORK"
}
trap cleanup EXIT
bash "$harness" up
# shellcheck disable=SC1091
. "$TG_WORK/env"
node "$here/walk.js" "http://127.0.0.1:$PORT" "$cache" "$out"
