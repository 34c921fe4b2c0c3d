#!/usr/bin/env bash
# Cross-builds the Windows deliverables (TokenGate.dll, LogonBroker.exe) with mingw-w64 and runs
# their tests under Wine in a fresh, private Wine prefix:
#   - the Windows layer's own tests (CNG, registry, profile reader, event source, code page),
#   - the ISAPI test host against LogonBroker.exe -console over ncalrpc, with the gate's event
#     texts read back from Wine's event log trace (among them the filter's removal of forged
#     attribute headers),
#   - the ISAPI test host once more without an authentication package for local RPC, against a
#     listener that takes tokens from anyone: the gate must send it none,
#   - LogonBroker.exe -install / -launch-local / stop / -remove through Wine's service manager.
# Exits non-zero on the first failure.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TG_WINDOWS_BUILD_DIR:-$ROOT/build/windows-ci}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'FAILED: %s\n' "$*" >&2; exit 1; }

# ---- packages ----------------------------------------------------------------------------------
# winbind brings ntlm_auth, through which Wine's NTLM package authenticates local RPC: the gate
# and the broker insist on an authenticated binding.
packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libgnutls30 winbind clang-14 cmake
          ninja-build googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# ---- build -------------------------------------------------------------------------------------
step "cross-building in $BUILD"
cmake -S "$ROOT/platform/windows" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DTG_WERROR=ON >/dev/null
cmake --build "$BUILD" -j2 --target TokenGate LogonBroker tokengate_windows windows_release \
  platform_windows_tests isapi_host_tests broker_windows_tests isapi_unit_tests recording_listener

BIN="$BUILD/windows"
TESTS="$BUILD/windows-tests"
for dll in "$BIN/TokenGate.dll" "$BIN/LogonBroker.exe" "$BIN/tokengate.exe"; do
  # Only system DLLs may be imported: nothing of the compiler's runtime is shipped.
  extra=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ {print toupper($3)}' |
          grep -v -x -E 'KERNEL32.DLL|MSVCRT.DLL|ADVAPI32.DLL|RPCRT4.DLL|BCRYPT.DLL|OLEAUT32.DLL|SECUR32.DLL|OLE32.DLL' || true)
  [[ -z "$extra" ]] || fail "$(basename "$dll") imports $extra"
done

# ---- Wine prefix -------------------------------------------------------------------------------
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/tokengate-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
KEEPER=""
cleanup() {
  [[ -n "$KEEPER" ]] && kill "$KEEPER" 2>/dev/null || true
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

step "creating the Wine prefix"
timeout 180 "$WINE" wineboot --init >/dev/null 2>&1 || fail "wineboot"
timeout 120 "$WINESERVER" -w || fail "wineserver -w"

wine() { timeout "$1" "$WINE" "${@:2}"; }
LOG=$(mktemp -d /tmp/tokengate-wine-logs.XXXXXX)
trap 'cleanup; rm -rf "$LOG"' EXIT

# Every expected line must appear, in this order, in file $1.
expect_lines() {
  local file=$1; shift
  local got
  got=$(tr -d '\r' <"$file")
  local rest=$got line
  for line in "$@"; do
    [[ "$rest" == *"$line"* ]] || { printf '%s\n' "$got" >&2; fail "missing: $line"; }
    rest=${rest#*"$line"}
  done
}

# ---- the Windows layer -------------------------------------------------------------------------
step "Windows layer tests"
(cd "$TESTS" && WINEDEBUG=-all,err+eventlog,warn+eventlog \
   wine 300 ./platform_windows_tests.exe >"$LOG/layer.out" 2>"$LOG/layer.err") ||
  { cat "$LOG/layer.out" "$LOG/layer.err"; fail "platform_windows_tests"; }
tail -n 1 "$LOG/layer.out"
expect_lines "$LOG/layer.err" 'warn:eventlog:ReportEventW L"windows layer test event \00e9"'

for t in broker_windows_tests isapi_unit_tests; do
  step "$t"
  (cd "$TESTS" && wine 120 "./$t.exe" >"$LOG/$t.out" 2>&1) || { cat "$LOG/$t.out"; fail "$t"; }
  tail -n 1 "$LOG/$t.out"
done

step "tokengate.exe keys and tokens"
(cd "$LOG" && wine 60 "$BIN/tokengate.exe" token keygen agent-config.txt --lifetime 300 \
   >/dev/null 2>&1) || fail "tokengate.exe token keygen"
TOKEN=$(cd "$LOG" && wine 60 "$BIN/tokengate.exe" token issue --config agent-config.txt \
          subject=jdoe 2>/dev/null | tr -d '\r\n')
[[ -n "$TOKEN" ]] || fail "tokengate.exe token issue"
(cd "$LOG" && wine 60 "$BIN/tokengate.exe" token inspect --config agent-config.txt "$TOKEN" \
   >"$LOG/inspect.out" 2>&1) || { cat "$LOG/inspect.out"; fail "tokengate.exe token inspect"; }
expect_lines "$LOG/inspect.out" "jdoe"

# ---- ISAPI test host against LogonBroker.exe -console ------------------------------------------
step "ISAPI test host"
(cd "$TESTS" && WINEDEBUG=-all,err+eventlog,warn+eventlog \
   wine 300 ./isapi_host_tests.exe --gtest_filter='-IsapiNoAuthenticationTest.*' \
   >"$LOG/isapi.out" 2>"$LOG/isapi.err") ||
  { cat "$LOG/isapi.out" "$LOG/isapi.err"; fail "isapi_host_tests"; }
tail -n 1 "$LOG/isapi.out"
BROKER_DOWN='Could not obtain attributes from Tessera, please make sure the LogonBroker has been started.'
expect_lines "$LOG/isapi.err" \
  'err:eventlog:ReportEventW L"default"' \
  "err:eventlog:ReportEventW L\"$BROKER_DOWN -2147417829\"" \
  "err:eventlog:ReportEventW L\"$BROKER_DOWN\"" \
  'err:eventlog:ReportEventW L"The server is unavailable."' \
  "err:eventlog:ReportEventW L\"$BROKER_DOWN 1722\""
# The filter's deletions of look-alike attribute headers, one warning per request, and its
# refusals when it cannot read the headers.
LOOKALIKES='Request headers that look like attribute headers were removed:'
expect_lines "$LOG/isapi.err" \
  "warn:eventlog:ReportEventW L\"$LOOKALIKES X-subject, x_SUBJECT, X-subject\"" \
  "warn:eventlog:ReportEventW L\"$LOOKALIKES X-subject, x_SUBJECT, X-subject\"" \
  "warn:eventlog:ReportEventW L\"$LOOKALIKES x-Subject\"" \
  'warn:eventlog:ReportEventW L"ALL_RAW could not be obtained from request 8"' \
  'warn:eventlog:ReportEventW L"ALL_RAW could not be obtained from request 87"' \
  'warn:eventlog:ReportEventW L"ALL_RAW could not be obtained from request 122"'

step "ISAPI test host without an authentication package"
# Wine's NTLM package finds ntlm_auth through PATH: without it no binding can be authenticated.
(cd "$TESTS" && WINEDEBUG=-all,err+eventlog,warn+eventlog \
   timeout 300 env PATH=/nonexistent "$WINE" ./isapi_host_tests.exe \
   --gtest_filter='IsapiNoAuthenticationTest.*' >"$LOG/noauth.out" 2>"$LOG/noauth.err") ||
  { cat "$LOG/noauth.out" "$LOG/noauth.err"; fail "isapi_host_tests without authentication"; }
tail -n 1 "$LOG/noauth.out"
if grep -q SKIPPED "$LOG/noauth.out"; then
  cat "$LOG/noauth.out"; fail "the runtime still authenticated without ntlm_auth"
fi
expect_lines "$LOG/noauth.out" "[  PASSED  ] 1 test."
expect_lines "$LOG/noauth.err" \
  'err:eventlog:ReportEventW L"RpcBindingFromStringBinding() failed."' \
  "err:eventlog:ReportEventW L\"$BROKER_DOWN\"" \
  'err:eventlog:ReportEventW L"The binding handle is invalid."' \
  "err:eventlog:ReportEventW L\"$BROKER_DOWN 1702\""

# ---- LogonBroker.exe through the service manager -----------------------------------------------
step "LogonBroker.exe service life cycle"
# Wine ends services.exe shortly after its last ordinary process: keep one alive meanwhile.
sleep 240 | timeout 250 "$WINE" cmd /c pause >/dev/null 2>&1 &
KEEPER=$!
NAME='Corvane Web Agent Authentication Service'
cd "$BIN"
wine 60 ./LogonBroker.exe -install >"$LOG/install.out" 2>/dev/null
expect_lines "$LOG/install.out" "$NAME installed."
wine 60 ./LogonBroker.exe -install >"$LOG/install2.out" 2>/dev/null
expect_lines "$LOG/install2.out" "CreateService failed - " \
  "This may be caused by the service already being installed."
wine 90 ./LogonBroker.exe -launch-local >"$LOG/launch.out" 2>/dev/null
expect_lines "$LOG/launch.out" "Service Running."
wine 30 sc query TarvexWebAgent >"$LOG/query.out" 2>/dev/null || true
expect_lines "$LOG/query.out" "RUNNING"
wine 90 ./LogonBroker.exe -launch-local >"$LOG/launch2.out" 2>/dev/null
expect_lines "$LOG/launch2.out" "Error: Service already running"
wine 60 sc stop TarvexWebAgent >/dev/null 2>&1 || fail "sc stop"
for _ in $(seq 1 50); do
  wine 30 sc query TarvexWebAgent >"$LOG/query.out" 2>/dev/null || true
  grep -q STOPPED "$LOG/query.out" && break
  sleep 0.2
done
expect_lines "$LOG/query.out" "STOPPED"
wine 90 ./LogonBroker.exe -launch-local >"$LOG/launch3.out" 2>/dev/null
expect_lines "$LOG/launch3.out" "Service Running."
wine 90 ./LogonBroker.exe -remove >"$LOG/remove.out" 2>/dev/null
expect_lines "$LOG/remove.out" "Stopping $NAME." "$NAME stopped." "$NAME removed."
wine 60 ./LogonBroker.exe -remove >"$LOG/remove2.out" 2>/dev/null
expect_lines "$LOG/remove2.out" "OpenService failed - "
cd "$ROOT"

printf '\nWindows tests passed.\n'
