#!/usr/bin/env bash
# Network round-trip benchmark: builds the service, the provider, zkpki and
# the test peers in BUILD_DIR (default build), then runs
# bench/network_bench.py. See network_bench.py for what it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target ZelkorH ZelkorD zkpki pkipeer >/dev/null
ZK_BUILD_BIN="$PWD/$build/bin" exec python3 bench/network_bench.py "$@"
