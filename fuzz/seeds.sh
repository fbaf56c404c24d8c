#!/usr/bin/env bash
# Writes the SQL of every case in tests/sql/*.test into OUTDIR, one file per statement
# (<topic>-<line>), with the corpus's {N*text} repetitions expanded: the fuzzers' seeds.
set -euo pipefail
out="${1:?usage: fuzz/seeds.sh OUTDIR}"
cd "$(dirname "$0")/.."
mkdir -p "$out"
for test in tests/sql/*.test; do
    awk -v out="$out" -v topic="$(basename "$test" .test)" '
        function expand(s,    r, n, star) {
            r = ""
            while (match(s, /\{[0-9]+\*[^}]*\}/)) {
                r = r substr(s, 1, RSTART - 1)
                star = index(substr(s, RSTART), "*")
                for (n = substr(s, RSTART + 1, star - 2) + 0; n > 0; n--)
                    r = r substr(s, RSTART + star, RLENGTH - star - 1)
                s = substr(s, RSTART + RLENGTH)
            }
            return r s
        }
        function emit() {
            file = out "/" topic "-" line
            printf "%s", expand(sql) > file
            close(file)
            state = 2
        }
        { sub(/\r$/, "") }
        state == 1 && ($0 == "" || $0 == "----") { emit(); if ($0 == "") state = 0; next }
        state == 1 { sql = sql (sql == "" ? "" : "\n") $0; next }
        state == 2 { if ($0 == "") state = 0; next }
        /^(statement|query)( |$)/ { state = 1; sql = ""; line = NR }
        END { if (state == 1) emit() }
    ' "$test"
done
