#!/usr/bin/env bash
# Installs what is needed, builds everything and runs the whole test suite.
# BUILD_DIR and CMAKE_ARGS select another build (the sanitizer run of CI);
# CTEST_ARGS adds ctest options (CI's sanitizer run leaves some tests out).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash tools/install-deps.sh; else sudo bash tools/install-deps.sh; fi
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
cd "$build"
# shellcheck disable=SC2086
ctest --output-on-failure -j"${CTEST_JOBS:-2}" ${CTEST_ARGS:-}
