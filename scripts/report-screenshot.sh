#!/usr/bin/env bash
# Writes OUTDIR/report.png, the screenshot of `kelvor report` on a sample company that the
# browser test takes in headless Chromium once the page's figures have been checked, and
# OUTDIR/report.html, the page itself, with OUTDIR/report.pdf, the page as it prints. Uses the build in $KELVOR_BUILD_DIR (default: build).
set -euo pipefail
out="${1:?usage: scripts/report-screenshot.sh OUTDIR}"
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
KELVOR_REPORT_OUT="$out" "$build/tests/report_tests" \
    --gtest_filter=ReportTest.PageInChromiumShowsWhatSqlComputes
profile="$(mktemp -d)"
trap 'rm -rf "$profile"' EXIT
chromium --headless --no-sandbox --disable-gpu --user-data-dir="$profile" --no-pdf-header-footer \
    --print-to-pdf="$out/report.pdf" "file://$out/report.html" 2>/dev/null
echo "$out/report.png"
echo "$out/report.pdf"
