#!/usr/bin/env bash
# no-network.sh - shows that the program needs and opens no network: the self-test and the interactive chain run
# in a network namespace without a usable interface, under strace, and every socket they create is listed.
#
# usage (as root): tools/no-network.sh [PROGRAM [CFEMU]]
#   PROGRAM and CFEMU default to build/linux/voske-cf-spike and build/linux/cfemu (tools/run.sh builds them).
#   A fresh temporary LOCALAPPDATA is used and removed. NO_NETWORK_TRACE=FILE keeps the strace output there.
set -euo pipefail

# The chain itself, run by the outer part below inside the namespace and the trace.
inside() {
    local program="$1" cfemu="$2"
    local base="$LOCALAPPDATA"
    local interfaces routes step
    interfaces="$(awk -F: 'NR > 2 { gsub(/ /, "", $1); printf "%s ", $1 }' /proc/net/dev)"
    # IPv4 routes (past the header line) and IPv6 routes that are not reject entries (flag 0x200).
    routes="$(tail -n +2 /proc/net/route | wc -l)"
    local flags
    while read -r _ _ _ _ _ _ _ _ flags _; do
        (((16#$flags & 0x200) == 0)) && routes=$((routes + 1))
    done </proc/net/ipv6_route
    echo "interfaces: ${interfaces% }; routes: $routes"
    if [ "${interfaces% }" != "lo" ] || [ "$routes" -ne 0 ]; then
        echo "the namespace can reach a network" >&2
        return 1
    fi

    # The self-test and the chain each start from an empty tree of their own.
    export LOCALAPPDATA="$base/selftest"
    mkdir -p "$LOCALAPPDATA"
    "$program" selftest >/dev/null 2>&1 || { echo "selftest failed" >&2; return 1; }
    echo "ok selftest"

    export LOCALAPPDATA="$base/chain"
    mkdir -p "$LOCALAPPDATA"
    local log="$LOCALAPPDATA/nq.vo.tarn.voskel/VOSKE/CloudFiles/provider.log"
    local root="$LOCALAPPDATA/nq.vo.tarn.voskel/VOSKE/CloudFiles/SyncRoot"
    for step in register placeholder; do
        "$program" "$step" >/dev/null 2>&1 || { echo "$step failed" >&2; return 1; }
        echo "ok $step"
    done
    "$program" connect >/dev/null 2>&1 &
    local provider=$!
    local waited=0
    until grep -q "\[CONNECT\] Waiting" "$log" 2>/dev/null; do
        waited=$((waited + 1))
        if [ "$waited" -gt 300 ]; then
            echo "connect did not come up" >&2
            kill -KILL "$provider" 2>/dev/null || true
            return 1
        fi
        sleep 0.1
    done
    echo "ok connect"
    for step in hydrate dehydrate hydrate writeback-client; do
        "$program" "$step" >/dev/null 2>&1 || { echo "$step failed" >&2; kill -KILL "$provider"; return 1; }
        echo "ok $step"
    done
    "$cfemu" cat "$root/hello-from-engine.txt" | grep -q "queued-local" || {
        echo "cfemu cat failed" >&2
        kill -KILL "$provider"
        return 1
    }
    echo "ok cfemu cat"
    kill -INT "$provider"
    wait "$provider" || true
    "$program" unregister >/dev/null 2>&1 && echo "ok unregister"
    if grep -q "\[ERROR\]" "$base"/*/nq.vo.tarn.voskel/VOSKE/CloudFiles/provider.log; then
        grep "\[ERROR\]" "$base"/*/nq.vo.tarn.voskel/VOSKE/CloudFiles/provider.log >&2
        return 1
    fi
    echo "ok no ERROR line in either provider.log"
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2" "$3"
    exit $?
fi

root_dir="$(cd "$(dirname "$0")/.." && pwd)"
program="$(realpath "${1:-$root_dir/build/linux/voske-cf-spike}")"
cfemu="$(realpath "${2:-$root_dir/build/linux/cfemu}")"
if [ "$(id -u)" -ne 0 ]; then
    echo "no-network.sh needs root (unshare -n makes a network namespace)" >&2
    exit 2
fi
for tool in unshare strace; do
    command -v "$tool" >/dev/null || { echo "no-network.sh needs $tool (apt-get install strace util-linux)" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/voske-no-network-XXXXXX")"
trap 'rm -rf "$work"' EXIT
export LOCALAPPDATA="$work/local" HOME="$work/local" XDG_DATA_HOME="$work/local"
mkdir -p "$LOCALAPPDATA"
trace="${NO_NETWORK_TRACE:-$work/trace.txt}"

# A sanitizer build's leak check cannot run under ptrace; the other tests of that build check leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
status=0
unshare -n -- strace -f -qq -e trace=socket,connect -o "$trace" bash "$0" --inside "$program" "$cfemu" || status=$?

echo "socket() calls by address family:"
grep -oE '(^|[^_a-z])socket\((AF|PF)_[A-Z0-9]+' "$trace" | sed -E 's/.*socket\(//' | sort | uniq -c | sed 's/^/  /' || true
echo "connect() calls by address family:"
grep -oE 'connect\([0-9]+, \{sa_family=AF_[A-Z0-9]+' "$trace" | sed -E 's/.*sa_family=//' | sort | uniq -c | sed 's/^/  /' || true
inet="$(grep -cE '(AF|PF)_INET' "$trace" || true)"
echo "AF_INET or AF_INET6 in the trace: $inet"
if [ "$status" -ne 0 ]; then
    echo "NO NETWORK: the chain failed inside the namespace (exit $status)" >&2
    exit 1
fi
if [ "$inet" -ne 0 ]; then
    grep -E '(AF|PF)_INET' "$trace" >&2
    echo "NO NETWORK: an internet socket was created" >&2
    exit 1
fi
echo "NO NETWORK: proven (self-test and interactive chain passed without a network; only local sockets)"
