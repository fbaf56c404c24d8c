#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/ ($KELVOR_FUZZ_BUILD_DIR overrides), seeds them with
# the statements of the SQL corpus and runs each for SECONDS (default 600), one after the other.
# A finding is a crash, a sanitizer report, an input running over 10 s or one taking over 2 GB.
# The fuzzers run in libFuzzer's fork mode, which goes on after a finding, so that one run shows
# every finding, not only the first; each input found is then run again alone, and its report
# saved beside it. Fails when there is any finding. What it needs, scripts/install-deps.sh
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
# AddressSanitizer makes the translator's recursion take about ten times the stack it takes in a
# release build (a 1,000-term expression: under 1 MB there, over 8 MB here). With 64 MB, a stack
# overflow here is one that would take over 6 MB in a release build.
if ! ulimit -s 65536; then
    echo "warning: the stack stays at $(ulimit -s) KB: deep statements may overflow it" >&2
fi
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# -max_len: the longest corpus statements (deep nesting, long OR lists) fit; longer inputs would
# only slow the mutations down.
options=(-timeout=10 -rss_limit_mb=2048 -max_len=16384 -dict=fuzz/jet.dict)
status=0
for fuzzer in translate_fuzzer execute_fuzzer; do
    corpus="$out/corpus/$fuzzer" findings="$out/findings/$fuzzer"
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    echo "== $fuzzer for $seconds s (log: $out/$fuzzer.log)"
    "$out/$fuzzer" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
        -max_total_time="$seconds" "${options[@]}" -artifact_prefix="$findings/" \
        "$corpus" "$out/seeds" >"$out/$fuzzer.log" 2>&1 || true
    runs=$(grep -oE '^#[0-9]+: ' "$out/$fuzzer.log" | tail -1 | tr -d '#: ' || true)
    echo "executions: ${runs:-none}"
    "$out/$fuzzer" -runs=0 "${options[@]}" "$corpus" 2>&1 | grep -m1 INITED || true
    for input in "$findings"/*; do
        case "$input" in */crash-* | */timeout-* | */oom-* | */leak-*) ;; *) continue ;; esac
        "$out/$fuzzer" "${options[@]}" "$input" >"$input.log" 2>&1 || true
        what=$(grep -m1 -oE '(ERROR|runtime error): .*' "$input.log" || echo "not again when alone")
        echo "$fuzzer FINDING: $input: $what (report: $input.log)" >&2
        status=1
    done
done
exit "$status"
