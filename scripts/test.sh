#!/usr/bin/env bash
# Builds Kelvor and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
build="${KELVOR_BUILD_DIR:-build}"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
