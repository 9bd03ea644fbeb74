#!/usr/bin/env bash
# wine-check.sh - runs the Windows program under Wine (which has no cldapi.dll): usage, paths, the directory
# tree, the staging seed file's bytes, the log's CR LF lines, a failing `register`, and a self-test that fails at
# the registration the same way twice in a row.
# Wine's prefix, its home (menus, desktop files) and its server directory all live in one temporary directory,
# which goes away with the Wine processes at the end.
set -euo pipefail
exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
work="$(mktemp -d)"
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
prefix="$work/prefix"
mkdir "$work/home" "$work/tmp"
export WINEPREFIX="$prefix" WINEDEBUG=-all HOME="$work/home" TMPDIR="$work/tmp"
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"  # no Mono, Gecko or menu entries
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
wineboot -i >/dev/null 2>&1 || true
fail() { echo "wine-check: $*" >&2; exit 1; }

set +e
wine "$exe" >"$work/usage.txt" 2>/dev/null; code=$?
set -e
[ "$code" -eq 1 ] || fail "no verb: exit $code, expected 1"
grep -q "voske-cf-spike <command>" "$work/usage.txt" || fail "usage text missing"

wine "$exe" paths >"$work/paths.txt" 2>/dev/null || fail "paths failed"
tr -d '\r' <"$work/paths.txt" >"$work/paths.lf"
[ "$(wc -l <"$work/paths.lf")" -eq 4 ] || fail "paths printed $(wc -l <"$work/paths.lf") lines"
grep -q '^SyncRoot : C:\\users\\.*\\AppData\\Local\\nq.vo.tarn.voskel\\VOSKE\\CloudFiles\\SyncRoot$' "$work/paths.lf" ||
    fail "sync-root line: $(head -1 "$work/paths.lf")"
grep -q '^Identity : VOSKECloudFiles!S-1-5-21-[0-9-]*!voskel$' "$work/paths.lf" || fail "identity line"

set +e
wine "$exe" register >/dev/null 2>&1; code=$?
set -e
[ "$code" -eq 1 ] || fail "register without cldapi.dll: exit $code, expected 1"

base="$(find "$prefix/drive_c/users" -type d -path '*AppData/Local/nq.vo.tarn.voskel/VOSKE/CloudFiles' | head -1)"
[ -n "$base" ] || fail "provider directory not created"
[ "$(stat -c %s "$base/Staging/hello-from-engine.txt")" -eq 93 ] || fail "staging seed is not 93 bytes"
# Wine has no cldapi.dll: the line says so in words after the status and the path.
missing=' - cldapi.dll is missing (the Cloud Files platform comes with Windows 10 1709 and later)'
grep -q $'\\[ERROR\\] CfRegisterSyncRoot failed hr=0x8007007E path=.*'"$missing"$'\r$' "$base/provider.log" ||
    fail "register failure line missing or not CR LF: $(cat "$base/provider.log")"

# The self-test stops at the registration. Each run must fail there alone: exit 1, the failure as its last log
# line, and the same output, log lines and files as the run before it, so nothing a run leaves trips the next.
selftest_run() {
    local before code
    before="$(wc -l <"$base/provider.log")"
    set +e
    wine "$exe" selftest >"$work/selftest$1.out" 2>/dev/null; code=$?
    set -e
    [ "$code" -eq 1 ] || fail "selftest run $1: exit $code, expected 1"
    tail -n +"$((before + 1))" "$base/provider.log" | cut -c21- >"$work/selftest$1.log"
    (cd "$base/.." && find . ! -name provider.log -printf '%y %s %p\n' | sort) >"$work/selftest$1.files"
}
selftest_run 1
selftest_run 2
tail -1 "$work/selftest1.log" | grep -q $'^\\[ERROR\\] CfRegisterSyncRoot failed hr=0x8007007E path=C:\\\\.*\\\\SyncRoot'"$missing"$'\r$' ||
    fail "selftest did not end at the registration: $(cat "$work/selftest1.log")"
for part in out log files; do
    cmp -s "$work/selftest1.$part" "$work/selftest2.$part" ||
        fail "second selftest differs ($part): $(diff "$work/selftest1.$part" "$work/selftest2.$part")"
done
echo "wine-check: OK"
