#!/usr/bin/env bash
# fuzz.sh [SECONDS] - builds the libFuzzer targets with clang and runs each for SECONDS (default 600, the long
# form; CI runs 30) on a copy of its seed corpus, then prints each target's executions and findings.
#
# Findings are kept in build/fuzz/findings/<target>/; reproduce one with build/fuzz/<target> <file>.
# VOSKE_FUZZ_JOBS sets how many targets run at once (default: half the processors, at least one);
# VOSKE_FUZZ_BUILD_DIR the build directory (default build/fuzz).
# Exit status 1 when any target found something.
set -euo pipefail
source "$(dirname "$0")/setup.sh"

seconds="${1:-600}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: tools/fuzz.sh [SECONDS]" >&2
    exit 2
fi

# Debian ships libFuzzer's runtime (libclang_rt.fuzzer-x86_64.a) in libclang-rt-<version>-dev; the unversioned
# libclang-rt-dev follows the default clang.
voske_need_packages cmake ninja-build clang libclang-rt-dev pkg-config libfuse3-dev
runtime_dir="$(clang++ --print-runtime-dir)"
if [ ! -f "$runtime_dir/libclang_rt.fuzzer-$(uname -m).a" ]; then
    clang_major="$(clang++ -dumpversion | cut -d. -f1)"
    voske_need_packages "libclang-rt-${clang_major}-dev"
fi

cd "$VOSKE_ROOT"
build="${VOSKE_FUZZ_BUILD_DIR:-build/fuzz}"
case "$build" in /*) ;; *) build="$VOSKE_ROOT/$build" ;; esac
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DVOSKE_FUZZ=ON -DVOSKE_BUILD_TESTS=OFF -DVOSKE_BUILD_BENCH=OFF -DVOSKE_WERROR=ON >/dev/null
targets=()
for source in tests/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

# The runs write only below a scratch directory of their own (tmpfs where there is one, as the record writer
# flushes every file), which goes away at the end; the repository's corpus is never grown.
scratch_base="${TMPDIR:-/tmp}"
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
scratch="$(mktemp -d "$scratch_base/voske-fuzz.XXXXXX")"
cleanup() {
    local pids
    pids="$(jobs -p)"
    [ -n "$pids" ] && kill $pids 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# Per-target options: identity blobs go past the platform's 4096-byte limit; the manifest needs room for lines.
target_options() {
    case "$1" in
        fuzz_identity) echo "-max_len=8192" ;;
        fuzz_manifest) echo "-max_len=8192" ;;
        *) echo "-max_len=1024" ;;
    esac
}

run_target() {
    local target="$1"
    local work="$scratch/$target"
    local findings="$build/findings/$target"
    mkdir -p "$work/tmp" "$findings"
    mkdir -p "$work/corpus"
    if [ -d "tests/fuzz/corpus/$target" ]; then cp -r "tests/fuzz/corpus/$target/." "$work/corpus/"; fi
    local dict=()
    [ -f "tests/fuzz/$target.dict" ] && dict=("-dict=tests/fuzz/$target.dict")
    # -close_fd_mask=2 keeps the program's own log lines off the output; sanitizer reports and the targets'
    # invariant messages still reach the log.
    TMPDIR="$work/tmp" ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/$target" "$work/corpus" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$findings/" $(target_options "$target") \
        "${dict[@]}" >"$work/log" 2>&1 || true
    cp "$work/log" "$findings/last-run.log"
}

jobs_at_once="${VOSKE_FUZZ_JOBS:-$(( $(nproc) / 2 ))}"
[ "$jobs_at_once" -ge 1 ] || jobs_at_once=1
echo "Fuzzing ${#targets[@]} targets for ${seconds} s each, ${jobs_at_once} at a time"
for target in "${targets[@]}"; do
    rm -f "$build/findings/$target"/crash-* "$build/findings/$target"/leak-* "$build/findings/$target"/timeout-* \
        "$build/findings/$target"/oom-*
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do wait -n || true; done
    run_target "$target" &
done
wait

status=0
printf '\n%-16s %14s %10s %9s\n' target executions exec/s findings
for target in "${targets[@]}"; do
    log="$build/findings/$target/last-run.log"
    [ -f "$log" ] || : >"$log"
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    [ -n "$executions" ] || executions="$(grep -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
    found=0
    for artifact in "$build/findings/$target"/crash-* "$build/findings/$target"/leak-* \
        "$build/findings/$target"/timeout-* "$build/findings/$target"/oom-*; do
        [ -e "$artifact" ] && found=$((found + 1))
    done
    # A run that stopped without leaving an artifact and without ever starting to fuzz failed too.
    if [ "$found" -eq 0 ] && ! grep -q "^#[0-9]*[[:space:]]*INITED" "$log"; then found=1; fi
    printf '%-16s %14s %10s %9s\n' "$target" "${executions:-0}" "${rate:--}" "$found"
    if [ "$found" -ne 0 ]; then
        status=1
        echo "---- $target: $log" >&2
        grep -E "FUZZ INVARIANT BROKEN|^  [^ ]|ERROR: |SUMMARY: |Test unit written" "$log" | head -n 20 >&2 || true
    fi
done
exit "$status"
