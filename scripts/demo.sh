#!/usr/bin/env bash
# The main job on a sample company: make its databases, have the application server rebuild
# the work queue in the background through the queue engine server, and show the queue.
# The programs are the build tree's, or those of $KELVOR (e.g. /usr/bin/kelvor, installed by
# the package), or those on PATH when there is no build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
k="${KELVOR:-$build/tools/kelvor}"
if [ -z "${KELVOR:-}" ] && [ ! -x "$k" ]; then k="$(command -v kelvor)"; fi
dir="${1:-sample-company}"
rm -rf "$dir"
eval "$("$k" create-company "$dir" --customers 2000 --seed 42)"
# The servers live on the session bus; without one, a private bus serves this run.
if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    "$k" client update-queue --dt "$DT" --ca "$CA" --so "$SO" --async
else
    # The private bus daemon's own log lines are noise here; errors still show.
    "$k" session -- "$k" client update-queue --dt "$DT" --ca "$CA" --so "$SO" --async \
        2> >(grep -v -e '^dbus-daemon' -e 'XDG_RUNTIME_DIR' >&2)
fi
echo "The work queue, first rows:"
"$k" queue show --dt "$DT" > "$dir/queue.txt"
head -n 12 "$dir/queue.txt"
echo
echo "Entries per transaction type:"
"$k" sql "$DT" "SELECT TransType, Count(*) AS Entries FROM tblDTQueue GROUP BY TransType ORDER BY TransType"
