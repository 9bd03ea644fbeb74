#!/usr/bin/env bash
# wine-check.sh - runs the Windows program under Wine (which has no cldapi.dll): usage, paths, the directory
# tree, the staging seed file's bytes, the log's CR LF lines and a failing `register`.
set -euo pipefail
exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all
wineboot -i >/dev/null 2>&1 || true
fail() { echo "wine-check: $*" >&2; exit 1; }

set +e
wine "$exe" >"$prefix/usage.txt" 2>/dev/null; code=$?
set -e
[ "$code" -eq 1 ] || fail "no verb: exit $code, expected 1"
grep -q "voske-cf-spike <command>" "$prefix/usage.txt" || fail "usage text missing"

wine "$exe" paths >"$prefix/paths.txt" 2>/dev/null || fail "paths failed"
tr -d '\r' <"$prefix/paths.txt" >"$prefix/paths.lf"
[ "$(wc -l <"$prefix/paths.lf")" -eq 4 ] || fail "paths printed $(wc -l <"$prefix/paths.lf") lines"
grep -q '^SyncRoot : C:\\users\\.*\\AppData\\Local\\nq.vo.tarn.voskel\\VOSKE\\CloudFiles\\SyncRoot$' "$prefix/paths.lf" ||
    fail "sync-root line: $(head -1 "$prefix/paths.lf")"
grep -q '^Identity : VOSKECloudFiles!S-1-5-21-[0-9-]*!voskel$' "$prefix/paths.lf" || fail "identity line"

set +e
wine "$exe" register >/dev/null 2>&1; code=$?
set -e
[ "$code" -eq 1 ] || fail "register without cldapi.dll: exit $code, expected 1"

base="$(find "$prefix/drive_c/users" -type d -path '*AppData/Local/nq.vo.tarn.voskel/VOSKE/CloudFiles' | head -1)"
[ -n "$base" ] || fail "provider directory not created"
[ "$(stat -c %s "$base/Staging/hello-from-engine.txt")" -eq 93 ] || fail "staging seed is not 93 bytes"
grep -q $'\\[ERROR\\] CfRegisterSyncRoot failed hr=0x8007007E path=.*\r$' "$base/provider.log" ||
    fail "register failure line missing or not CR LF: $(cat "$base/provider.log")"
echo "wine-check: OK"
