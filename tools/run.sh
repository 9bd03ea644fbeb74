#!/usr/bin/env bash
# run.sh - builds the program on first use (and after changes), then runs one verb; `selftest` by default.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
voske_need_packages cmake g++ ninja-build pkg-config libfuse3-dev fuse3 libsqlite3-dev
cd "$VOSKE_ROOT"
if [ ! -f build/linux/build.ninja ]; then
    cmake --preset linux -DVOSKE_BUILD_TESTS=OFF -DVOSKE_BUILD_BENCH=OFF >&2
fi
cmake --build build/linux --target voske-cf-spike cfemu >&2
exec build/linux/voske-cf-spike "${@:-selftest}"
