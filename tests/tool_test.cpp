// The kelvor command-line program: what scripts read from it.
#include <gtest/gtest.h>

#include "test_util.h"

using kelvor::test::RunKelvor;
using kelvor::test::TempDir;

TEST(KelvorSqlTest, CreatesQueriesAndPrintsJsonLines) {
    TempDir dir;
    std::string db = dir.file("DT.mdb");
    auto r = RunKelvor("sql --create " + db);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RunKelvor("sql --create " + db).err, "error 3204: Database already exists.\n");

    r = RunKelvor("sql " + db,
                  "CREATE TABLE t (Id COUNTER, Name TEXT(10), Amt CURRENCY, Ok YESNO, D DATETIME, "
                  "R DOUBLE)\n"
                  "INSERT INTO t (Name, Amt, Ok, D, R) VALUES (\"say \"\"hi\"\"\", 0.1, True, "
                  "#12/24/2026 18:30:00#, 0.5)\n"
                  "INSERT INTO t (Name, Amt, Ok) VALUES (Null, 1234567.8912, False)\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");  // not a terminal: action queries print nothing

    r = RunKelvor("sql --json " + db + " 'SELECT * FROM t ORDER BY Id'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"Id\":1,\"Name\":\"say \\\"hi\\\"\",\"Amt\":0.1,\"Ok\":true,\"D\":\"2026-12-24 "
              "18:30:00\",\"R\":0.5}\n"
              "{\"Id\":2,\"Name\":null,\"Amt\":1234567.8912,\"Ok\":false,\"D\":null,\"R\":null}\n");

    r = RunKelvor("sql " + db + " 'SELECT Id, Amt + Amt AS Twice FROM t ORDER BY Id DESC'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Id | Twice\n"
              "---+-------------\n"
              "2  | 2469135.7824\n"
              "1  | 0.2\n");
}

TEST(KelvorSqlTest, ShellGoesOnAfterAFailureAndReportsIt) {
    TempDir dir;
    std::string db = dir.file("a.mdb");
    ASSERT_EQ(RunKelvor("sql --create " + db).status, 0);
    auto r = RunKelvor("sql --json " + db,
                       "CREATE TABLE t (N LONG)\n"
                       "INSERT INTO t VALUES (1)\n"
                       "SELECT FROM t\n"
                       "\n"
                       "INSERT INTO t VALUES (2)\n"
                       "SELECT Sum(N) AS s FROM t\n"
                       "SELECT * FROM nowhere\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"s\":3}\n");
    EXPECT_EQ(r.err,
              "error 3141: The SELECT statement includes a reserved word or an argument name "
              "that is misspelled or missing, or the punctuation is incorrect.\n"
              "error 3078: The database engine cannot find the input table or query 'nowhere'. "
              "Make sure it exists and that its name is spelled correctly.\n");
}

TEST(KelvorSqlTest, LinksAndFailures) {
    TempDir dir;
    std::string dt = dir.file("DT.mdb"), ca = dir.file("CA.mdb");
    ASSERT_EQ(RunKelvor("sql --create " + dt).status, 0);
    ASSERT_EQ(RunKelvor("sql --create " + ca).status, 0);
    ASSERT_EQ(RunKelvor("sql " + ca,
                        "CREATE TABLE tblCaClient (ClientId TEXT(9))\n"
                        "INSERT INTO tblCaClient VALUES ('C1')\n")
                  .status,
              0);
    auto r = RunKelvor("link " + dt + " tblCaClient " + ca);
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunKelvor("link " + dt + " Other " + ca + " tblCaClient");
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunKelvor("sql --json " + dt + " 'SELECT Other.ClientId FROM Other'");
    EXPECT_EQ(r.out, "{\"ClientId\":\"C1\"}\n");
    r = RunKelvor("sql --json " + dt + " tblCaClient");
    EXPECT_EQ(r.out, "{\"ClientId\":\"C1\"}\n");

    r = RunKelvor("sql " + dir.file("missing.mdb") + " 'SELECT 1'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error 3024: Could not find file '" + dir.file("missing.mdb") + "'.\n");
    r = RunKelvor("sql");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error 5: usage: kelvor sql", 0), 0u) << r.err;
    r = RunKelvor("frobnicate");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error 5: ", 0), 0u);
}

TEST(KelvorSqlTest, TablesShowDatesAsJetDoes) {
    TempDir dir;
    std::string db = dir.file("d.mdb");
    ASSERT_EQ(RunKelvor("sql --create " + db).status, 0);
    auto r = RunKelvor("sql " + db,
                       "CREATE TABLE t (N LONG, D DATETIME)\n"
                       "INSERT INTO t VALUES (1, #01:04:57#)\n"
                       "INSERT INTO t VALUES (2, #12/08/2026#)\n"
                       "INSERT INTO t VALUES (3, #12/08/2026 13:45:00#)\n"
                       "INSERT INTO t VALUES (4, #12/30/1899#)\n");
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunKelvor("sql " + db + " 'SELECT D FROM t ORDER BY N'");
    EXPECT_EQ(r.out,
              "D\n"
              "-------------------\n"
              "01:04:57\n"
              "2026-12-08\n"
              "2026-12-08 13:45:00\n"
              "00:00:00\n");
    // Scripts read JSON: it keeps the whole value.
    r = RunKelvor("sql --json " + db + " 'SELECT D FROM t WHERE N < 3 ORDER BY N'");
    EXPECT_EQ(r.out, "{\"D\":\"1899-12-30 01:04:57\"}\n{\"D\":\"2026-12-08 00:00:00\"}\n");
}
