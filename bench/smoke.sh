#!/usr/bin/env bash
# Every benchmark once in its smoke mode (tiny sizes, a few seconds in all):
# CI runs this so that a benchmark that no longer builds or runs fails there.
# The figures printed mean nothing. Usage: bench/smoke.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" -j"$(nproc)" --target benchmarks ZelkorH ZelkorD zkpki pkipeer
echo "-- certlist_bench --smoke"; "$build/bench/certlist_bench" --smoke
echo "-- sqlite_bench --smoke"; "$build/bench/sqlite_bench" --smoke
echo "-- http_bench.sh --smoke"; bash bench/http_bench.sh --smoke "$build"
echo "-- sign_bench.py --smoke"; ZK_BUILD_BIN="$PWD/$build/bin" python3 bench/sign_bench.py --smoke
echo "-- container_bench.py --smoke"; ZK_BUILD_BIN="$PWD/$build/bin" python3 bench/container_bench.py --smoke
echo "-- protected_bench.py --smoke"; ZK_BUILD_BIN="$PWD/$build/bin" python3 bench/protected_bench.py --smoke
echo "-- network_bench.py --smoke"; ZK_BUILD_BIN="$PWD/$build/bin" python3 bench/network_bench.py --smoke
echo "-- ctx_envelope_bench.py --smoke"; ZK_BUILD_BIN="$PWD/$build/bin" python3 bench/ctx_envelope_bench.py --smoke
echo "-- request_cost.py --smoke"; ZK_BUILD_BIN="$PWD/$build/bin" python3 bench/request_cost.py --smoke
echo "benchmarks: every smoke run passed"
