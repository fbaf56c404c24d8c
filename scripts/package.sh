#!/usr/bin/env bash
# Builds Kelvor (scripts/build.sh) and its Debian package, kelvor_<version>_amd64.deb, in the
# current folder or in OUTDIR: the programs in /usr/bin, the D-Bus service files in
# /usr/share/dbus-1/services naming them, the interface XML in /usr/share/dbus-1/interfaces and
# a manual page for each program. dpkg-shlibdeps (dpkg-dev) works out the library dependencies.
# Prints the package's path.
set -euo pipefail
out="$(realpath "${1:-.}")"
cd "$(dirname "$0")/.."
bash scripts/build.sh >&2
build="$(realpath "${KELVOR_BUILD_DIR:-build}")"
staging="$build/package"
rm -rf "$staging"
(cd "$build" && cpack -G DEB -B "$staging" >&2)
deb="$(ls "$staging"/kelvor_*_amd64.deb)"
mv "$deb" "$out/"
echo "$out/$(basename "$deb")"
