#!/usr/bin/env bash
# Container envelope benchmark: builds the service, the provider and zkpki in
# BUILD_DIR (default build), then runs bench/ctx_envelope_bench.py against
# services started from that build's program folder. See ctx_envelope_bench.py
# for what it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target ZelkorH ZelkorD zkpki >/dev/null
ZK_BUILD_BIN="$PWD/$build/bin" exec python3 bench/ctx_envelope_bench.py "$@"
