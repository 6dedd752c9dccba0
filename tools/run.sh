#!/usr/bin/env bash
# Installs what is needed, builds the service and runs it with its defaults
# (HTTP on 127.0.0.1:19744, HTTPS on 127.0.0.1:20026) until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash tools/install-deps.sh; else sudo bash tools/install-deps.sh; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target ZelkorH ZelkorD
exec build/bin/ZelkorH "$@"
