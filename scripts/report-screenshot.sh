#!/usr/bin/env bash
# Writes OUTDIR/report.png, the screenshot of `kelvor report` on a sample company that the
# browser test takes in headless Chromium once the page's figures have been checked, and
# OUTDIR/report.html, the page itself. Uses the build in $KELVOR_BUILD_DIR (default: build).
set -euo pipefail
out="${1:?usage: scripts/report-screenshot.sh OUTDIR}"
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
KELVOR_REPORT_OUT="$out" "$build/tests/report_tests" \
    --gtest_filter=ReportTest.PageInChromiumShowsWhatSqlComputes
echo "$out/report.png"
