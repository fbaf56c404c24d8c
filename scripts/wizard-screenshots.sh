#!/usr/bin/env bash
# Makes a sample installation and writes one PNG per wizard page into OUTDIR, rendered by Qt
# offscreen with the system's fonts. Uses the build in $KELVOR_BUILD_DIR (default: build).
set -euo pipefail
out="${1:?usage: scripts/wizard-screenshots.sh OUTDIR}"
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/tools/kelvor" create-installation "$work/install" --companies 3 --customers 100 >/dev/null
KELVOR_REGISTRY="$work/install/registry" QT_QPA_PLATFORM=offscreen \
    "$build/maintwizard/wizard_screenshots" "$out"
