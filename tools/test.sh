#!/usr/bin/env bash
# test.sh - the whole test suite: installs what is missing, builds, runs every test, builds everything again at
# -O3, then the sanitizer builds' tests, the MinGW cross-build of the Windows program and its checks under Wine.
# Every build treats warnings as errors (the presets set VOSKE_WERROR).
set -euo pipefail
source "$(dirname "$0")/setup.sh"
voske_need_packages cmake g++ ninja-build libgtest-dev g++-mingw-w64-x86-64 wine wine64 python3 strace pkg-config e2fsprogs \
    libfuse3-dev fuse3 libsqlite3-dev git rsync
cd "$VOSKE_ROOT"
jobs="$(nproc)"
# The emulated filter keeps its state in user extended attributes, which a tmpfs /tmp may not support on older
# kernels; the tests' temporary directories go below the build tree, on the checkout's own file system.
export TMPDIR="$VOSKE_ROOT/build/tmp"
mkdir -p "$TMPDIR"

step() { printf '\n==== %s ====\n' "$*"; }

step "Linux build and tests"
cmake --preset linux -DVOSKE_BUILD_TESTS=ON -DVOSKE_BUILD_BENCH=ON
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs" --timeout 300

step "Release build (-O3) of everything: warnings only the optimiser finds"
cmake --preset release
cmake --build build/release -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake --preset asan
cmake --build build/asan -j "$jobs"
# The end-to-end tests one at a time: each starts several instrumented processes (400 readers in the thread-limit
# tests) against the program's own waits (the engine's ten seconds), which two such tests side by side on a small
# machine can overrun.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 600 -LE e2e
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure --timeout 600 -L e2e

step "ThreadSanitizer build: the emulated filter's tests and the stress test"
cmake --preset tsan
cmake --build build/tsan -j "$jobs" --target platform_tests e2e_tests
# ThreadSanitizer expects the address-space layout of its own release; on kernels that randomise mappings more
# widely it stops at start-up. Where the machine lets us, the TSan tests run without layout randomisation.
fixed_layout=()
if setarch "$(uname -m)" -R true >/dev/null 2>&1; then
    fixed_layout=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${fixed_layout[@]}" ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 600 -L platform
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${fixed_layout[@]}" ctest --test-dir build/tsan --output-on-failure --timeout 900 -R '^Stress\.'

step "libFuzzer targets, 30 s each (tools/fuzz.sh 600 is the long form)"
tools/fuzz.sh 30

step "MinGW-w64 cross-build of the Windows program"
cmake --preset mingw
cmake --build build/mingw -j "$jobs" --target voske-cf-spike 2>&1 | tee build/mingw/build.log
if grep -qi "warning" build/mingw/build.log; then
    echo "MinGW build printed warnings" >&2
    exit 1
fi
test -f build/mingw/voske-cf-spike.exe

step "What only Visual C++ would reject: the Windows sources parsed with the MSVC build's definitions and offsetof"
tools/msvc-probe.sh

step "Windows program under Wine"
tools/wine-check.sh build/mingw/voske-cf-spike.exe

step "All tests passed"
