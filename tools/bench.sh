#!/usr/bin/env bash
# bench.sh - builds the program and the benchmarks (Release, in build/bench) and runs them, each figure beside its
# raw baseline measured in the same run, then prints one table: measure | ours | baseline | ratio | target | met?
#
#   tools/bench.sh                      all benchmarks (about 5 minutes)
#   tools/bench.sh bench_seed ...       only those named (bench/<name>.cpp)
#
# VOSKE_BENCH_REPS sets the interleaved repetitions (at least 5, default 7); VOSKE_BENCH_DIR the directory the
# temporary trees go to (default TMPDIR, else /tmp; it needs extended attributes: ext4, xfs, btrfs, tmpfs);
# VOSKE_BENCH_NO_WAIT=1 skips the 65 s waits of the creation and seeding benchmarks for inodes freed by earlier
# runs to age (ext4 without a journal walks past recently freed inodes on every creation; tmpfs needs no wait).
# Cells read "median (min..max)" over the repetitions; a ratio is taken per repetition (ours against the
# baseline run next to it) and summarised the same way. Progress goes to standard error, the table to standard
# output. Benchmarks assert no time: a target that is missed shows "NO" and the run still succeeds.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
voske_need_packages cmake g++ ninja-build pkg-config libfuse3-dev fuse3 libsqlite3-dev
cd "$VOSKE_ROOT"

# Seeding goes last: its 1,000,000 files are deleted as it ends, which would slow the next creations.
all=(bench_placeholders bench_hydration bench_mount bench_writeback bench_watcher bench_insync bench_event_log bench_pins bench_seed)
selected=("${@:-${all[@]}}")

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOSKE_BUILD_TESTS=OFF -DVOSKE_BUILD_BENCH=ON \
    -DVOSKE_WERROR=ON >&2
cmake --build build/bench --target voske-cf-spike cfemu "${selected[@]}" >&2

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
for bench in "${selected[@]}"; do
    echo "== $bench" >&2
    "build/bench/$bench" >>"$rows"
done

base="${VOSKE_BENCH_DIR:-${TMPDIR:-/tmp}}"
echo "$(date +%F), $(nproc) CPUs, Linux $(uname -r), $(df --output=fstype "$base" | tail -1) at $base, ${VOSKE_BENCH_REPS:-7} repetitions"
echo
echo "| measure | ours | baseline | ratio | target | met? |"
echo "|---|---|---|---|---|---|"
cat "$rows"
