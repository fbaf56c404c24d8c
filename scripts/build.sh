#!/usr/bin/env bash
# Configures and builds Kelvor in ./build (or $KELVOR_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
