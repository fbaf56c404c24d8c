#!/usr/bin/env bash
# The main job on a sample company: for now, a database made and queried through the layer.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELVOR_BUILD_DIR:-build}"
k="$build/tools/kelvor"
dir="${1:-sample-company}"
rm -rf "$dir" && mkdir -p "$dir"
"$k" sql --create "$dir/CA.mdb"
"$k" sql --create "$dir/DT.mdb"
"$k" sql "$dir/CA.mdb" <<'SQL'
CREATE TABLE tblCaClient (ClientId TEXT(20) PRIMARY KEY, CreditHold YESNO, CreditLimit CURRENCY)
CREATE TABLE tblCaClientHist (ClientId TEXT(20), CurAmtDue CURRENCY, BalAge1 CURRENCY, BalAge4 CURRENCY)
INSERT INTO tblCaClient VALUES ("C001", False, 500)
INSERT INTO tblCaClient VALUES ("C002", True, 1000)
INSERT INTO tblCaClientHist VALUES ("C001", 300.10, 200.20, 0)
INSERT INTO tblCaClientHist VALUES ("C002", 0, 0, 75.5)
SQL
"$k" link "$dir/DT.mdb" tblCaClient "$dir/CA.mdb"
"$k" link "$dir/DT.mdb" tblCaClientHist "$dir/CA.mdb"
"$k" sql "$dir/DT.mdb" "SELECT DISTINCTROW tblCaClientHist.ClientId AS CustID, [CurAmtDue]+[BalAge1]+[BalAge4] AS TotalDue, tblCaClient.CreditLimit FROM tblCaClient INNER JOIN tblCaClientHist ON tblCaClient.ClientId = tblCaClientHist.ClientId WHERE (([CurAmtDue]+[BalAge1]+[BalAge4])>=[CreditLimit]) AND (tblCaClient.CreditHold=False)"
