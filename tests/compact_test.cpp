// Compaction: a checked copy, and refusals that keep data safe.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "kelvor/dao.h"
#include "locking/lock_file.h"
#include "test_util.h"

using namespace kelvor;
using kelvor::test::CreateAndOpen;
using kelvor::test::StartLockHolder;
using kelvor::test::TempDir;

namespace {

bool exists(const std::string& path) {
    return std::ifstream(path).good();
}

class CompactTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string source = dir.file("DT.mdb");
    std::string ca = dir.file("CA.mdb");
    void SetUp() override {
        {
            Database c = CreateAndOpen(ca);
            c.Execute("CREATE TABLE tblCaClient (ClientId TEXT(20), CreditLimit CURRENCY)");
            c.Execute("INSERT INTO tblCaClient VALUES ('A', 1.5)");
        }
        Database db = CreateAndOpen(source);
        db.Execute(
            "CREATE TABLE tblDTQueue (CustID TEXT(20), Amount CURRENCY, D DATETIME, B YESNO)");
        db.Execute("CREATE INDEX ixCust ON tblDTQueue (CustID)");
        DBEngine().BeginTrans();
        for (int i = 0; i < 2000; ++i)
            db.Execute("INSERT INTO tblDTQueue VALUES ('C" + std::to_string(i) + "', " +
                       std::to_string(i) + ".25, #1/2/2026#, True)");
        DBEngine().CommitTrans();
        db.Execute("DELETE FROM tblDTQueue WHERE Amount > 1000");  // leaves free pages
        db.LinkTable("tblCaClient", ca);
        db.Execute(
            "CREATE PROCEDURE qryOver (pMin CURRENCY) AS SELECT CustID FROM tblDTQueue "
            "WHERE Amount > pMin");
    }
};

}  // namespace

TEST_F(CompactTest, TheCopyHoldsEverythingAndTheSourceIsUntouched) {
    std::string before = kelvor::test::ReadFile(source);
    std::string copy = dir.file("DT_BK.mdb");
    DBEngine().CompactDatabase(source, copy);
    EXPECT_EQ(kelvor::test::ReadFile(source), before);
    EXPECT_LT(kelvor::test::ReadFile(copy).size(), before.size());

    Database db = DBEngine().Workspaces(0).OpenDatabase(copy);
    Recordset rs = db.OpenRecordset(
        "SELECT Count(*) AS n, Sum(Amount) AS s, Min(D) AS d, Min(B) AS b FROM tblDTQueue",
        dbOpenSnapshot);
    EXPECT_EQ(rs.Fields("n").Value(), Value(1000));
    EXPECT_EQ(rs.Fields("s").Value(), Value(Currency::parse("499750")));
    EXPECT_EQ(rs.Fields("d").Value(), Value(Date::fromParts(2026, 1, 2)));
    EXPECT_EQ(rs.Fields("b").Value(), Value(true));
    EXPECT_EQ(db.TableDefs("tblCaClient").Connect(), ";DATABASE=" + ca);
    QueryDef q = db.QueryDefs("qryOver");
    q.Parameters("pMin") = 998.5;
    EXPECT_FALSE(q.OpenRecordset(dbOpenForwardOnly).EOF_());

    auto r = kelvor::test::RunKelvor("compact " + source + " " + dir.file("again.mdb"));
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(CompactTest, RefusesWhatWouldLoseData) {
    std::string copy = dir.file("copy.mdb");
    EXPECT_EQ(
        kelvor::test::ErrorOf([&] { DBEngine().CompactDatabase(dir.file("none.mdb"), copy); }),
        3024);
    std::ofstream(copy) << "x";
    EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().CompactDatabase(source, copy); }), 3204);
    EXPECT_EQ(kelvor::test::ReadFile(copy), "x");
    std::remove(copy.c_str());

    {
        Database open = DBEngine().Workspaces(0).OpenDatabase(source);
        EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().CompactDatabase(source, copy); }), 3356);
    }
    auto other = StartLockHolder();
    ASSERT_EQ(other->ask("open " + source), "ok");
    EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().CompactDatabase(source, copy); }), 3356);
    EXPECT_FALSE(exists(copy));
    other->kill9();
    DBEngine().CompactDatabase(source, copy);

    // While a compaction holds the file, nobody can open it.
    auto exclusive = locking::ExclusiveLock::Acquire(source);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().Workspaces(0).OpenDatabase(source); }), 3045);
}

TEST_F(CompactTest, DamagedFilesAreRefusedAndLeaveNoCopy) {
    std::string junk = dir.file("junk.mdb"), copy = dir.file("copy.mdb");
    std::ofstream(junk) << std::string(5000, 'j');
    EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().CompactDatabase(junk, copy); }), 3343);
    EXPECT_FALSE(exists(copy));

    // Garbage over the middle of a real database: its pages no longer read.
    std::string data = kelvor::test::ReadFile(source);
    ASSERT_GT(data.size(), 40000u);
    for (size_t i = 8192; i < data.size() - 4096; ++i) data[i] = static_cast<char>(i * 7);
    std::string damaged = dir.file("damaged.mdb");
    std::ofstream(damaged, std::ios::binary) << data;
    EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().CompactDatabase(damaged, copy); }), 3056);
    EXPECT_FALSE(exists(copy));
}
