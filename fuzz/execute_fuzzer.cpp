// libFuzzer harness: each input is one Jet SQL statement, run against the fixture database inside
// a transaction that is rolled back afterwards, so that inputs do not affect each other. A SELECT
// opens a dynaset (which falls back to a snapshot where it must) and reads every field of every
// row. An engine error is an answer; a crash, a sanitizer report, a hang or runaway memory is a
// finding.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fixture.h"
#include "kelvor/dao.h"
#include "kelvor/jet_error.h"

using namespace kelvor;

namespace {

// SQLite's own work per input is capped: a cross join of ten tables is slow by nature, not a
// finding. The cap is in virtual machine steps, so time spent inside the layer's SQL functions
// (Like, the date and text functions) is still caught by libFuzzer's -timeout.
constexpr int kStepsPerCheck = 1000;
constexpr int kMaxChecks = 20000;  // 20 million steps, a few seconds
int g_checks = 0;

int OnProgress(void*) {
    return ++g_checks > kMaxChecks;
}

int OnConnectionOpen(sqlite3* db, const char**, const sqlite3_api_routines*) {
    sqlite3_progress_handler(db, kStepsPerCheck, OnProgress, nullptr);
    return SQLITE_OK;
}

Database Open() {
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(OnConnectionOpen));
    return DBEngine().Workspaces(0).OpenDatabase(fuzz::FixturePath());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Database db = Open();
    const std::string sql(reinterpret_cast<const char*>(data), size);
    Workspace ws = DBEngine().Workspaces(0);
    g_checks = 0;
    ws.BeginTrans();
    try {
        try {
            db.Execute(sql, dbFailOnError);
        } catch (const JetError& e) {
            if (e.number() != err::kCantExecuteSelect) throw;  // a SELECT: read it instead
            Recordset rs = db.OpenRecordset(sql);
            for (; !rs.EOF_(); rs.MoveNext())
                for (int i = 0; i < rs.FieldCount(); ++i) rs.Fields(i).Value();
            rs.Close();
        }
    } catch (const JetError&) {
    }
    try {
        ws.Rollback();
    } catch (const JetError&) {
    }
    return 0;
}
