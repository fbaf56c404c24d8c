#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/ ($KELVOR_FUZZ_BUILD_DIR overrides), seeds them with
# the statements of the SQL corpus and runs each for SECONDS (default 600), one after the other.
# Fails on any finding (crash, sanitizer report, an input running over 10 s, over 2 GB of memory)
# and says where the input that caused it was saved. What it needs, scripts/install-deps.sh
# installs. Inputs that reach new code stay in build-fuzz/fuzz/corpus/ for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
build="${KELVOR_FUZZ_BUILD_DIR:-build-fuzz}"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVOR_FUZZ=ON -DKELVOR_SANITIZE=address,undefined -DBUILD_TESTING=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target translate_fuzzer execute_fuzzer
out="$build/fuzz"
rm -rf "$out/seeds"
bash fuzz/seeds.sh "$out/seeds"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for fuzzer in translate_fuzzer execute_fuzzer; do
    mkdir -p "$out/corpus/$fuzzer" "$out/findings"
    echo "== $fuzzer for $seconds s (log: $out/$fuzzer.log)"
    # -max_len: the longest corpus statements (deep nesting, long OR lists) fit; longer inputs
    # would only slow the mutations down.
    if ! "$out/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=16384 -dict=fuzz/jet.dict -print_final_stats=1 \
        -artifact_prefix="$out/findings/$fuzzer-" "$out/corpus/$fuzzer" "$out/seeds" \
        >"$out/$fuzzer.log" 2>&1; then
        status=1
        grep -E "ERROR|runtime error|Test unit written to" "$out/$fuzzer.log" >&2 || true
        echo "$fuzzer: FINDING; the input is the file named above, the report in $out/$fuzzer.log" >&2
    fi
    grep -E "^Done|^stat::number_of_executed_units|cov:" "$out/$fuzzer.log" | tail -3
done
exit "$status"
