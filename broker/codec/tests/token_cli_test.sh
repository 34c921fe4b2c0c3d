#!/usr/bin/env bash
# Pins the behaviour and output of `tokengate token keygen | issue | inspect`.
# Usage: token_cli_test.sh /path/to/tokengate
set -uo pipefail
tg=${1:?path to tokengate}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ "$2" != "$3" ]]; then
    printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

p="$work/t.properties"
check "keygen output" "wrote $p with key k1" "$("$tg" token keygen "$p" --lifetime 600)"
check "keygen mode" "600" "$(stat -c %a "$p")"
check "keygen lifetime" "TokenLifetime=600" "$(grep '^TokenLifetime=' "$p")"
"$tg" token keygen "$p" 2>"$work/err"
check "keygen refuses to overwrite" "2" "$?"
check "keygen refusal text" "tokengate: $p exists; use --force to overwrite it" "$(cat "$work/err")"

old=$("$tg" token issue --config "$p" subject=jdoe)
check "add-key output" "added key k2 to $p; it is now the write key" \
  "$("$tg" token keygen "$p" --add-key)"
check "add-key mode" "600" "$(stat -c %a "$p")"
check "add-key write key" "WriteKeyId=k2" "$(grep '^WriteKeyId=' "$p")"

token=$("$tg" token issue --config "$p" subject=jdoe groups=a groups=b $'tab\tname=x\ny')
out=$("$tg" token inspect --config "$p" "$token")
check "inspect exit code (valid)" "0" "$?"
check "inspect valid" "status: valid
key-id: k2
attribute: subject=jdoe
attribute: groups=a
attribute: groups=b
attribute: tab\\x09name=x\\x0Ay" "$(echo "$out" | grep -v -e '^attribute: renew-until=' -e '^attribute: not-on-or-after=')"
check "inspect shows expiry" "1" "$(echo "$out" | grep -c '^attribute: not-on-or-after=....-..-..T..:..:..Z$')"
check "old key still reads" "key-id: k1" "$("$tg" token inspect --config "$p" "$old" | sed -n 2p)"

out=$("$tg" token inspect --config "$p" "${token}*")
check "inspect exit code (invalid)" "2" "$?"
check "inspect invalid" "status: invalid
kind: TokenException
message: Token is not valid base64url." "$out"
out=$("$tg" token inspect --config "$work/missing" "$token")
check "inspect missing file" "status: invalid
kind: FileNotFoundException
message: No such file or directory" "$out"

((failures == 0)) && echo "all token command checks passed"
exit $((failures > 0))
