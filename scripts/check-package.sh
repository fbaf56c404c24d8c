#!/usr/bin/env bash
# Checks the Debian package on this machine (as root, or with sudo): installs it with apt-get,
# checks what it put where, runs scripts/demo.sh against the installed programs, and removes
# it again, also when a step fails. The package is built by scripts/package.sh unless its path
# is given.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
installed() { dpkg-query -W -f='${Status}' kelvor 2>/dev/null | grep -q 'ok installed'; }
if installed; then
    echo "check-package: a kelvor package is installed already; remove it first" >&2
    exit 1
fi
deb="${1:-$(bash scripts/package.sh "${KELVOR_BUILD_DIR:-build}")}"
work="$(mktemp -d)"
cleanup() {
    if installed; then
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvor >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$(realpath "$deb")"

version="$(dpkg-query -W -f='${Version}' kelvor)"
for p in kelvor KelvorQueuePE KelvorSystemPE Kelvor41PERepair; do
    [ "$(command -v "$p")" = "/usr/bin/$p" ] || fail "$p is not in /usr/bin"
    [ "$("/usr/bin/$p" --version)" = "$p $version" ] || fail "$p --version is not $version"
    man -w "$p" | grep -qx "/usr/share/man/man1/$p.1.gz" || fail "no manual page for $p"
    # The page renders without a warning from groff.
    [ -z "$(zcat "/usr/share/man/man1/$p.1.gz" | groff -man -Tutf8 -ww -z 2>&1)" ] ||
        fail "the manual page of $p has errors"
done
for s in KelvorQueuePE.QueueEngine:KelvorQueuePE KelvorSystemPE.Application:KelvorSystemPE; do
    f="/usr/share/dbus-1/services/${s%%:*}.service"
    grep -qx "Exec=/usr/bin/${s##*:}" "$f" || fail "$f does not start /usr/bin/${s##*:}"
done
for i in Kelvor.Automation KelvorQueuePE.QueueEngine KelvorSystemPE.Application; do
    [ -f "/usr/share/dbus-1/interfaces/$i.xml" ] || fail "no interface file $i.xml"
done
dpkg-query -W -f='${Depends}\n' kelvor | grep -q 'libsqlite3' || fail "no library dependencies"

# The main job, on the installed programs (the servers started from the installed service
# files), in a folder of its own.
KELVOR=/usr/bin/kelvor bash scripts/demo.sh "$work/sample-company"

$SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvor
[ ! -e /usr/bin/kelvor ] && [ ! -e /usr/share/dbus-1/services/KelvorSystemPE.Application.service ] ||
    fail "files left after removal"
echo "check-package: $(basename "$deb") installs, runs the demo and removes cleanly"
