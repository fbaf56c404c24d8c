#!/usr/bin/env bash
# Builds the engine layer's and the queue engine's test programs, and the programs they start,
# with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/ ($KELVOR_ASAN_BUILD_DIR
# overrides), then runs those tests: any sanitizer report fails its test. Warnings are the normal
# build's business (the sanitizers make the compiler's flow analysis noisy), so no -Werror here.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELVOR_ASAN_BUILD_DIR:-build-asan}"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# -O1 with line tables: a quicker build than the release flags, and stack traces with lines.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DKELVOR_SANITIZE=address,undefined "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target common_tests queueengine_tests
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ctest --test-dir "$build" -L engine --output-on-failure -j"$(nproc)"
