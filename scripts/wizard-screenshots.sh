#!/usr/bin/env bash
# Makes a sample installation and writes one PNG per wizard page into OUTDIR, rendered by Qt
# offscreen with the system's fonts: the pages in order, the repair page in the middle of a
# compaction, and the direct repair of a damaged workgroup file over its backdrop. Uses the
# build in $KELVOR_BUILD_DIR (default: build).
set -euo pipefail
out="${1:?usage: scripts/wizard-screenshots.sh OUTDIR}"
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/tools/kelvor" create-installation "$work/install" --companies 3 --customers 100 >/dev/null
# The same installation with its workgroup file damaged: a registry of its own points at a copy
# that no longer reads.
mkdir -p "$work/damaged/registry"
head -c 5000 /dev/zero | tr '\0' 'j' >"$work/damaged/Kelvor2000.mdw"
sed "s#\"SYSTEMDB\"=\"[^\"]*\"#\"SYSTEMDB\"=\"$work/damaged/Kelvor2000.mdw\"#" \
    "$work/install/registry/kelvor.reg" >"$work/damaged/registry/kelvor.reg"
KELVOR_REGISTRY="$work/install/registry" QT_QPA_PLATFORM=offscreen \
    "$build/maintwizard/wizard_screenshots" "$out" "$work/damaged/registry"
