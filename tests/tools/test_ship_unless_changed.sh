#!/usr/bin/env bash
# The shipping rule of the program folder's settings file: a build copies the
# shipped file into place unless the user changed the copy there.
set -euo pipefail
script=$1
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
ship() { cmake -DSHIP_SOURCE="$t/src.ini" -DSHIP_TARGET="$t/bin.ini" -DSHIP_RECORD="$t/rec.ini" -P "$script" >/dev/null; }
expect() { [ "$(cat "$t/bin.ini")" = "$1" ] || { echo "FAIL: $2: got '$(cat "$t/bin.ini")', want '$1'"; exit 1; }; }

echo v1 > "$t/src.ini"; ship; expect v1 "missing: copied"
echo v2 > "$t/src.ini"; ship; expect v2 "unchanged since shipped: the new one replaces it"
printf 'v2\n[Dongles]\nSoftHSM=x\n' > "$t/bin.ini"
ship; expect $'v2\n[Dongles]\nSoftHSM=x' "changed by hand: kept"
echo v3 > "$t/src.ini"; ship; expect $'v2\n[Dongles]\nSoftHSM=x' "changed by hand: kept over a new shipped one"
echo v3 > "$t/bin.ini"; echo v4 > "$t/src.ini"; rm "$t/rec.ini"
ship; expect v3 "no record and not the shipped one: kept"
cp "$t/src.ini" "$t/bin.ini"; ship; echo v5 > "$t/src.ini"; ship; expect v5 "equal to the shipped one: follows it"
echo "ship rule: ok"
