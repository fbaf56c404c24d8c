#!/usr/bin/env bash
# The main job on a sample company: make its databases, rebuild the work queue, show it.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
k="$build/tools/kelvor"
dir="${1:-sample-company}"
rm -rf "$dir"
eval "$("$k" create-company "$dir" --customers 2000 --seed 42)"
"$k" process-queue --dt "$DT" --ca "$CA" --so "$SO"
echo "The work queue, first rows:"
"$k" queue show --dt "$DT" > "$dir/queue.txt"
head -n 12 "$dir/queue.txt"
echo
echo "Entries per transaction type:"
"$k" sql "$DT" "SELECT TransType, Count(*) AS Entries FROM tblDTQueue GROUP BY TransType ORDER BY TransType"
