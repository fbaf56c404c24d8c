#!/usr/bin/env bash
# Checks the Debian package on this machine (as root, or with sudo): installs it with apt-get,
# checks what it put where, runs scripts/demo.sh and a scheduled update against the installed
# programs, and removes it again, also when a step fails. The package is built by scripts/package.sh unless its path
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

# A scheduled update as README shows it, with the installed program. No systemd runs here: the
# units go to a folder of their own and systemctl is not called; systemd's own check reads them,
# and the command the service runs is run as written, in a service's bare environment.
units="$work/units"
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
eval "$(/usr/bin/kelvor create-company "$work/acme" --customers 300 --seed 3)"
KELVOR_SYSTEMD_DIR="$units" KELVOR_SYSTEMCTL=true \
    /usr/bin/kelvor schedule add --dt "$DT" --ca "$CA" --so "$SO" --at "06:00,12:30" --name acme
KELVOR_SYSTEMD_DIR="$units" /usr/bin/kelvor schedule list | grep -q "^acme	06:00,12:30	" ||
    fail "schedule list does not show the schedule"
verify="$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify \
    "$units/kelvor-update-acme.timer" 2>&1)" || fail "systemd-analyze: $verify"
[ -z "$verify" ] || fail "systemd-analyze: $verify"
exec_line="$(sed -n 's/^ExecStart=//p' "$units/kelvor-update-acme.service")"
case "$exec_line" in /usr/bin/kelvor\ session\ --\ /usr/bin/kelvor\ schedule\ run\ *) ;;
    *) fail "the service runs $exec_line" ;; esac
read -ra words <<<"$exec_line"
env -i PATH=/usr/bin:/bin HOME="$work" "${words[@]}" >"$work/outcome" 2>&1 ||
    fail "the scheduled run failed: $(cat "$work/outcome")"
grep -q "^queue update of $DT done in " "$work/outcome" || fail "no outcome line"
[ "$(/usr/bin/kelvor sql "$DT" "SELECT Count(*) AS n FROM tblDTQueue" | tail -n 1 | tr -d ' ')" != 0 ] ||
    fail "the scheduled run left the queue empty"
KELVOR_SYSTEMD_DIR="$units" KELVOR_SYSTEMCTL=true /usr/bin/kelvor schedule remove acme
[ -z "$(ls "$units")" ] || fail "schedule remove left files"

$SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvor
[ ! -e /usr/bin/kelvor ] && [ ! -e /usr/share/dbus-1/services/KelvorSystemPE.Application.service ] ||
    fail "files left after removal"
echo "check-package: $(basename "$deb") installs, runs the demo and a scheduled update, and" \
    "removes cleanly"
