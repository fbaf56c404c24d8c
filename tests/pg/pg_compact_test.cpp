// Compaction of a schema on the private cluster: in place, the rows kept and the space given
// back, refused while anyone has the schema open, and keeping everyone out while it runs.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kelvor/dao.h"
#include "pg/locks.h"
#include "pg/pg_cluster.h"
#include "test_util.h"

using kelvor::CompactOptions;
using kelvor::DBEngine;
using kelvor::pg::LockSession;
using namespace kelvor::test;

namespace {

std::string pathOf(const std::string& schema) {
    return "pg:" + kelvor::test::ClusterConninfo() + "#" + schema;
}

// A schema holding a table most of whose rows were deleted, and an empty one. Autovacuum
// stays off them: it would trim the tables' ends on its own.
void makeSchema(PGconn* admin, const std::string& s) {
    Scalar(admin, "DROP SCHEMA IF EXISTS " + s + " CASCADE");
    Scalar(admin, "CREATE SCHEMA " + s);
    Scalar(admin, "CREATE TABLE " + s +
                      ".tblcustomers (id integer PRIMARY KEY, name varchar(200) NOT NULL) WITH "
                      "(autovacuum_enabled = false)");
    Scalar(admin, "CREATE TABLE " + s + ".tblempty (id integer)");
    Scalar(admin, "INSERT INTO " + s +
                      ".tblcustomers SELECT g, repeat(md5(g::text), 6) FROM "
                      "generate_series(1, 20000) g");
    Scalar(admin, "DELETE FROM " + s + ".tblcustomers WHERE id % 10 <> 0");
}

std::string rowsOf(PGconn* c, const std::string& s) {
    return Scalar(
        c, "SELECT count(*) || ':' || md5(string_agg(id || name, ',' ORDER BY id)) FROM " + s +
               ".tblcustomers");
}

std::string fileOf(PGconn* c, const std::string& s) {
    return Scalar(c, "SELECT pg_relation_filenode('" + s + ".tblcustomers')");
}

int64_t sizeOf(PGconn* c, const std::string& s) {
    return std::stoll(Scalar(c, "SELECT pg_total_relation_size('" + s + ".tblcustomers')"));
}

}  // namespace

TEST(PgCompactTest, ASchemaIsCompactedInPlaceWithItsRowsAndEveryoneKeptOut) {
    const std::string s = "compact_rows";
    Conn admin = Connect();
    makeSchema(admin.get(), s);
    const std::string rows = rowsOf(admin.get(), s);
    const int64_t before = sizeOf(admin.get(), s);
    const std::string file = fileOf(admin.get(), s);

    // Refused while anyone has it open, naming who; the tables stay as they were.
    {
        Conn other = Connect();
        auto open = LockSession::Connect(other.get(), s, "clerk");
        std::string message;
        EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(pathOf(s), ""); }, &message), 3356);
        EXPECT_NE(message.find("'clerk'"), std::string::npos) << message;
        EXPECT_EQ(sizeOf(admin.get(), s), before);
    }

    // At the end, still holding the schema: nobody may open it, nor compact it again.
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    int openWhileLocked = -1, secondCompaction = -1;
    CompactOptions options;
    options.progress = [&](uint64_t done, uint64_t total) { reports.push_back({done, total}); };
    options.whileLocked = [&] {
        Conn other = Connect();
        openWhileLocked = ErrorOf([&] { LockSession::Connect(other.get(), s, "clerk"); });
        secondCompaction = ErrorOf([&] { DBEngine().CompactDatabase(pathOf(s), pathOf(s)); });
    };
    DBEngine().CompactDatabase(pathOf(s), "", options);
    EXPECT_EQ(openWhileLocked, 3045);
    EXPECT_EQ(secondCompaction, 3045);
    EXPECT_EQ(rowsOf(admin.get(), s), rows);
    // Rewritten in place: the table has a new file, no bigger than the old. How much smaller
    // depends on what else runs: the deleted rows that a transaction still open anywhere on the
    // server may see are kept (the next compaction reclaims them).
    EXPECT_NE(fileOf(admin.get(), s), file);
    EXPECT_LE(sizeOf(admin.get(), s), before);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().first, 0u);
    EXPECT_EQ(reports.back().first, reports.back().second);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].first, reports[i - 1].first);
        EXPECT_EQ(reports[i].second, reports[0].second);
    }
    // Free again the moment it returns.
    Conn later = Connect();
    EXPECT_NO_THROW(LockSession::Connect(later.get(), s, "clerk"));

    // On the command line: the server path alone, or as its own destination; the file's
    // usage is unchanged.
    Scalar(admin.get(), "DELETE FROM " + s + ".tblcustomers WHERE id % 20 <> 0");
    auto r = kelvor::test::RunKelvor("compact '" + pathOf(s) + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    r = kelvor::test::RunKelvor("compact '" + pathOf(s) + "' '" + pathOf(s) + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    r = kelvor::test::RunKelvor("compact '" + pathOf("compact_missing") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error 3024: ", 0), 0u) << r.err;
    r = kelvor::test::RunKelvor("compact only-one.mdb");
    EXPECT_EQ(r.err.rfind("error 5: usage: kelvor compact SOURCE DESTINATION\n", 0), 0u);
}

TEST(PgCompactTest, WhatCannotBeDoneOnAServerIsRefusedAndChangesNothing) {
    const std::string s = "compact_refused";
    Conn admin = Connect();
    makeSchema(admin.get(), s);
    const int64_t before = sizeOf(admin.get(), s);
    // A role that may use the schema but owns none of its tables: VACUUM would skip them.
    Scalar(admin.get(),
           "DO $$ BEGIN CREATE ROLE kelvor_clerk LOGIN; EXCEPTION WHEN duplicate_object OR "
           "unique_violation THEN NULL; END $$");
    Scalar(admin.get(), "GRANT USAGE ON SCHEMA " + s + " TO kelvor_clerk");
    const std::string asClerk = "pg:" + kelvor::test::ClusterConninfo() + " user=kelvor_clerk#" + s;
    kelvor::test::TempDir dir;
    const struct {
        const char* what;
        std::function<void()> run;
        int error;
    } cases[] = {
        {"missing schema", [&] { DBEngine().CompactDatabase(pathOf("compact_nothing"), ""); },
         3024},
        {"file destination", [&] { DBEngine().CompactDatabase(pathOf(s), dir.file("DT_BK.mdb")); },
         3032},
        {"another schema", [&] { DBEngine().CompactDatabase(pathOf(s), pathOf("compact_x")); },
         3032},
        {"file onto a server", [&] { DBEngine().CompactDatabase(dir.file("DT.mdb"), pathOf(s)); },
         3032},
        {"role that may not vacuum", [&] { DBEngine().CompactDatabase(asClerk, ""); }, 3051},
        {"restore", [&] { DBEngine().RestoreDatabase(dir.file("DT.mdb"), pathOf(s)); }, 3032},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ErrorOf(c.run), c.error);
    }
    EXPECT_EQ(sizeOf(admin.get(), s), before);
    EXPECT_FALSE(std::filesystem::exists(dir.file("DT_BK.mdb")));
}
