// What the layer promises where programs crash, disks fill up and several programs share a
// database: a commit over several files is atomic at every point of a crash, a transaction the
// storage ended fails as a whole, readers are not locked out by a long write, design changes
// made elsewhere are seen, and scratch files of killed programs do not pile up.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>

#include "fault_vfs.h"
#include "kelvor/dao.h"
#include "kelvor/roster.h"
#include "test_util.h"

using namespace kelvor;
namespace fs = std::filesystem;
using Op = test::FaultVfs::Op;

namespace {

int32_t ReadN(const std::string& path) {
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    Recordset rs = db.OpenRecordset("SELECT n FROM t", dbOpenSnapshot);
    return rs.Fields("n").Value().toLong();
}

void MakeTable(const std::string& path, const std::string& sql = "CREATE TABLE t (n LONG)",
               const std::string& row = "INSERT INTO t (n) VALUES (1)") {
    Database db = test::CreateAndOpen(path);
    db.Execute(sql);
    db.Execute(row);
}

// The layer, as another program on the same files.
std::unique_ptr<test::ChildProcess> OtherProgram(const std::vector<std::string>& env = {}) {
    return test::StartLockHolder(env);
}

// A new default workspace whose connection waits for no lock at all: a read that has to wait
// fails at once instead of after the usual timeout.
class NoWaiting {
  public:
    NoWaiting() {
        ::setenv("KELVOR_BUSY_TIMEOUT_MS", "0", 1);
        DBEngine().TEST_NewDefaultWorkspace();
    }
    ~NoWaiting() {
        ::unsetenv("KELVOR_BUSY_TIMEOUT_MS");
        DBEngine().TEST_NewDefaultWorkspace();
    }
};

}  // namespace

// A program killed at each write and each sync of a commit that changes two files: afterwards
// both files hold the old value or both the new one.
TEST(StorageTest, ACommitOverTwoFilesIsAtomicWhereverTheProgramDies) {
    test::TempDir dir;
    const std::string a = dir.file("a.mdb"), b = dir.file("b.mdb");
    MakeTable(a);
    MakeTable(b);
    auto commit = [&](const std::string& crash) {
        auto p = OtherProgram();
        for (const std::string& line :
             {std::string("faults"), "open " + a, "open " + b, crash, std::string("begin"),
              std::string("exec 0 UPDATE t SET n = 2"), std::string("exec 1 UPDATE t SET n = 2"),
              std::string("commit")}) {
            std::string answer = p->ask(line);
            if (answer.empty()) return std::string();  // it died there
            EXPECT_EQ(answer, "ok") << line;
        }
        return p->ask("counts");
    };
    std::string counts = commit("crash write 1000000");
    int writes = 0, syncs = 0;
    ASSERT_EQ(std::sscanf(counts.c_str(), "%d %d", &writes, &syncs), 2) << counts;
    ASSERT_GT(syncs, 2);  // the super-journal is in use
    for (const auto& [op, total] : {std::pair{"write", writes}, std::pair{"sync", syncs}}) {
        for (int n = 1; n <= total; ++n) {
            SCOPED_TRACE(std::string(op) + " " + std::to_string(n) + " of " +
                         std::to_string(total));
            EXPECT_TRUE(commit("crash " + std::string(op) + " " + std::to_string(n)).empty());
            int32_t na = ReadN(a), nb = ReadN(b);
            EXPECT_EQ(na, nb);
            if (HasFailure()) return;
            if (na == 2) {  // back to the first state for the next point
                Database da = DBEngine().Workspaces(0).OpenDatabase(a);
                da.Execute("UPDATE t SET n = 1");
                Database db = DBEngine().Workspaces(0).OpenDatabase(b);
                db.Execute("UPDATE t SET n = 1");
            }
        }
    }
}

// Once the storage has failed a statement of a transaction, the transaction is failed: every
// later statement and the commit fail with the same error, and only Rollback ends that.
TEST(StorageTest, AFailedTransactionStaysFailedUntilRollback) {
    test::TempDir dir;
    MakeTable(dir.file("a.mdb"));
    test::FaultVfs vfs;
    DBEngine().TEST_NewDefaultWorkspace();
    {
        Database db = DBEngine().Workspaces(0).OpenDatabase(dir.file("a.mdb"));
        Workspace ws = DBEngine().Workspaces(0);
        ws.BeginTrans();
        db.Execute("INSERT INTO t (n) VALUES (2)");
        vfs.arm(test::FaultVfs::Op::Write, 1, SQLITE_FULL, true);
        EXPECT_EQ(test::ErrorOf([&] {
                      for (int i = 0; i < 5000; ++i) db.Execute("INSERT INTO t (n) VALUES (3)");
                      ws.CommitTrans();
                  }),
                  err::kDiskFull);
        vfs.disarm();
        for (const auto& [what, step] :
             std::initializer_list<std::pair<const char*, std::function<void()>>>{
                 {"statement", [&] { db.Execute("INSERT INTO t (n) VALUES (4)"); }},
                 {"read", [&] { db.OpenRecordset("SELECT * FROM t", dbOpenSnapshot); }},
                 {"nested begin", [&] { ws.BeginTrans(); }},
                 {"commit", [&] { ws.CommitTrans(); }}})
            EXPECT_EQ(test::ErrorOf(step), err::kDiskFull) << what;
        ws.Rollback();
        Recordset rs = db.OpenRecordset("SELECT Count(*) AS c FROM t", dbOpenSnapshot);
        EXPECT_EQ(rs.Fields("c").Value().toLong(), 1);
        ws.BeginTrans();
        db.Execute("INSERT INTO t (n) VALUES (5)");
        ws.CommitTrans();
    }
    DBEngine().TEST_NewDefaultWorkspace();
}

// A real full file system: the transaction fails with 3026 and the file keeps its rows.
TEST(StorageTest, ARealFullDiskLosesNothing) {
    test::TempDir dir;
    const std::string mnt = dir.file("small");
    fs::create_directory(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "this machine does not allow a mount here";
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt};
    const std::string path = mnt + "/full.mdb";
    MakeTable(path, "CREATE TABLE t (n LONG, s MEMO)", "INSERT INTO t (n) VALUES (1)");
    {
        Database db = DBEngine().Workspaces(0).OpenDatabase(path);
        Workspace ws = DBEngine().Workspaces(0);
        const std::string row =
            "INSERT INTO t (n, s) VALUES (2, \"" + std::string(4000, 'x') + "\")";
        ws.BeginTrans();
        EXPECT_EQ(test::ErrorOf([&] {
                      for (int i = 0; i < 1000; ++i) db.Execute(row);
                      ws.CommitTrans();
                  }),
                  err::kDiskFull);
        ws.Rollback();
    }
    EXPECT_EQ(ReadN(path), 1);
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    Recordset rs = db.OpenRecordset("SELECT Count(*) AS c FROM t", dbOpenSnapshot);
    EXPECT_EQ(rs.Fields("c").Value().toLong(), 1);
}

// While another program writes a large transaction to a company's database and holds the
// queue-processing lock, everyone else still opens and reads it without waiting, a logon is
// refused at once by the guard, and only a write to the same file has to wait (here: fails
// at once, since this connection may not wait).
TEST(StorageTest, ReadersDoNotWaitForALongWrite) {
    test::TempDir dir;
    const std::string path = dir.file("DT.mdb");
    {
        Database db = test::CreateAndOpen(path);
        db.Execute("CREATE TABLE tblDTLogon (UserID TEXT(20))");
        db.Execute("CREATE TABLE tblDtQueueProcLock (Id LONG)");
        db.Execute("CREATE TABLE big (n LONG, s MEMO)");
        db.Execute("INSERT INTO big (n, s) VALUES (1, \"" + std::string(1000, 'x') + "\")");
        db.GuardTable("tblDTLogon", "tblDtQueueProcLock");
    }
    auto writer = OtherProgram();
    ASSERT_EQ(writer->ask("open " + path), "ok");
    ASSERT_EQ(writer->ask("deny tblDtQueueProcLock"), "ok");
    ASSERT_EQ(writer->ask("begin"), "ok");
    // 8,192 rows of a kilobyte: more changed pages than a connection's page cache holds.
    for (int i = 0; i < 13; ++i)
        ASSERT_EQ(writer->ask("exec 0 INSERT INTO big SELECT n, s FROM big"), "ok");

    NoWaiting noWaiting;
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    Recordset rs = db.OpenRecordset("SELECT Count(*) AS c FROM big", dbOpenSnapshot);
    EXPECT_EQ(rs.Fields("c").Value().toLong(), 1);
    std::vector<RosterUser> users;
    EXPECT_EQ(ReadRoster(path, users), 2);
    Recordset logon = db.OpenRecordset("tblDTLogon", dbOpenDynaset, dbAppendOnly);
    EXPECT_EQ(test::ErrorOf([&] { logon.AddNew(); }), err::kReadOnly);
    EXPECT_EQ(test::ErrorOf([&] { db.Execute("INSERT INTO big (n) VALUES (2)"); }),
              err::kCouldNotUpdateLocked);

    ASSERT_EQ(writer->ask("commit"), "ok");
    Recordset after = db.OpenRecordset("SELECT Count(*) AS c FROM big", dbOpenSnapshot);
    EXPECT_EQ(after.Fields("c").Value().toLong(), 8192);
}

// Another program changes the design of a database this one keeps open: the next statement
// here sees the new design, and a design change rolled back here leaves nothing behind.
TEST(StorageTest, DesignChangesElsewhereAreSeenByTheNextStatement) {
    test::TempDir dir;
    const std::string path = dir.file("a.mdb");
    MakeTable(path, "CREATE TABLE t (v LONG)", "INSERT INTO t (v) VALUES (5)");
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    db.Execute("CREATE PROCEDURE q AS SELECT v * 2 AS w FROM t");
    auto read = [&](const std::string& sql) {
        Recordset rs = db.OpenRecordset(sql, dbOpenSnapshot);
        return rs.Fields(0).Value();
    };
    ASSERT_EQ(read("SELECT v FROM t"), Value(int32_t{5}));
    ASSERT_EQ(read("q").toLong(), 10);

    auto other = OtherProgram();
    ASSERT_EQ(other->ask("open " + path), "ok");
    for (const char* sql :
         {"DROP TABLE t", "CREATE TABLE t (v CURRENCY)", "INSERT INTO t (v) VALUES (5)",
          "DROP PROCEDURE q", "CREATE PROCEDURE q AS SELECT v * 3 AS w FROM t"})
        ASSERT_EQ(other->ask(std::string("exec 0 ") + sql), "ok") << sql;

    EXPECT_EQ(read("SELECT v FROM t"), Value(Currency::fromRaw(50000)));
    db.Execute("UPDATE t SET v = v + 1");
    EXPECT_EQ(read("SELECT v FROM t"), Value(Currency::fromRaw(60000)));
    EXPECT_EQ(read("q").toDouble(), 18);
    EXPECT_EQ(db.QueryDefs("q").SQL(), "SELECT v * 3 AS w FROM t");

    Workspace ws = DBEngine().Workspaces(0);
    ws.BeginTrans();
    db.Execute("CREATE TABLE gone (n LONG)");
    db.Execute("INSERT INTO gone (n) VALUES (1)");
    ws.Rollback();
    EXPECT_EQ(test::ErrorOf([&] { read("SELECT n FROM gone"); }), err::kInputTableNotFound);
    db.Execute("CREATE TABLE gone (n LONG)");
}

// A user column may be named as SQLite names a row's identity; writes still reach the right
// row.
TEST(StorageTest, RowIdentityNeverCollidesWithUserColumns) {
    test::TempDir dir;
    Database db = test::CreateAndOpen(dir.file("a.mdb"));
    for (const char* create :
         {"CREATE TABLE r (rowid LONG, v TEXT(10))",
          "CREATE TABLE r (oid LONG, rowid LONG, v TEXT(10))",
          "CREATE TABLE r (Id COUNTER, rowid LONG, oid LONG, _rowid_ LONG, v TEXT(10))"}) {
        SCOPED_TRACE(create);
        db.Execute(create);
        // Every row's user "rowid" (and "oid") is the same value.
        bool hasOid = std::string(create).find("oid LONG") != std::string::npos;
        for (int i = 1; i <= 3; ++i)
            db.Execute(std::string("INSERT INTO r (rowid") + (hasOid ? ", oid" : "") +
                       ", v) VALUES (7" + (hasOid ? ", 7" : "") + ", \"row" + std::to_string(i) +
                       "\")");
        {
            Recordset rs = db.OpenRecordset("SELECT * FROM r WHERE v = \"row1\"", dbOpenDynaset);
            rs.Edit();
            rs.Fields("v") = "edited";
            rs.Update();
        }
        db.Execute("UPDATE r SET v = \"updated\" WHERE v = \"row2\"");
        db.Execute(
            "UPDATE DISTINCTROW r INNER JOIN r AS s ON r.v = s.v SET r.v = \"joined\" WHERE s.v = "
            "\"row3\"");
        std::vector<std::string> got;
        Recordset rs = db.OpenRecordset("SELECT rowid, v FROM r ORDER BY v", dbOpenSnapshot);
        for (; !rs.EOF_(); rs.MoveNext())
            got.push_back(rs.Fields("rowid").Value().toString() + "=" +
                          rs.Fields("v").Value().toString());
        EXPECT_EQ(got, (std::vector<std::string>{"7=edited", "7=joined", "7=updated"}));
        db.Execute(
            "DELETE DISTINCTROW r.* FROM r INNER JOIN r AS s ON r.v = s.v WHERE s.v = \"updated\"");
        Recordset left =
            db.OpenRecordset("SELECT Count(*) AS c FROM r WHERE v = \"updated\"", dbOpenSnapshot);
        EXPECT_EQ(left.Fields("c").Value().toLong(), 0);
        Recordset all = db.OpenRecordset("SELECT Count(*) AS c FROM r", dbOpenSnapshot);
        EXPECT_EQ(all.Fields("c").Value().toLong(), 2);
        db.Execute("DROP TABLE r");
    }
}

// Every workspace has a scratch database; one left by a killed program is cleared by the next.
TEST(StorageTest, ScratchFilesOfAKilledProgramAreCleared) {
    test::TempDir dir;
    const std::string state = dir.file("state");
    MakeTable(dir.file("a.mdb"));
    auto scratchFiles = [&] {
        int n = 0;
        for (const auto& e : fs::directory_iterator(state))
            n += e.path().filename().string().rfind("kelvor-ws-", 0) == 0;
        return n;
    };
    {
        auto killed = OtherProgram({"KELVOR_STATE_DIR=" + state});
        ASSERT_EQ(killed->ask("open " + dir.file("a.mdb")), "ok");
        killed->kill9();
    }
    EXPECT_EQ(scratchFiles(), 1);
    {
        auto next = OtherProgram({"KELVOR_STATE_DIR=" + state});
        ASSERT_EQ(next->ask("open " + dir.file("a.mdb")), "ok");
        EXPECT_EQ(scratchFiles(), 1);  // its own
    }
    EXPECT_EQ(scratchFiles(), 0);
}

// A compaction replayed with each of its writes and syncs failing, and with the disk full from
// each write on: it fails with the storage's error, the source is untouched, and nothing is
// left under the destination's name or beside it; or it succeeds with a sound, complete copy.
TEST(StorageTest, ACompactionUnderStorageFaultsLeavesNothingHalfDone) {
    test::TempDir dir;
    const std::string src = dir.file("src.mdb"), dst = dir.file("dst.mdb");
    {
        Database db = test::CreateAndOpen(src);
        db.Execute("CREATE TABLE t (n LONG, s TEXT(200))");
        db.Execute("CREATE INDEX ix ON t (s)");
        db.Execute("INSERT INTO t (n, s) VALUES (1, \"" + std::string(150, 'a') + "\")");
        for (int i = 0; i < 10; ++i) db.Execute("INSERT INTO t (n, s) SELECT n + 1, s & n FROM t");
    }
    auto rows = [](const std::string& path) {
        Database db = DBEngine().Workspaces(0).OpenDatabase(path);
        Recordset rs = db.OpenRecordset("SELECT Count(*) AS c, Sum(n) AS s FROM t", dbOpenSnapshot);
        return rs.Fields("c").Value().toString() + "/" + rs.Fields("s").Value().toString();
    };
    const std::string before = rows(src);
    const std::string sourceBytes = test::ReadFile(src);
    auto leftovers = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path() != src) names.push_back(e.path().filename().string());
        return names;
    };

    test::FaultVfs vfs;
    vfs.reset();
    DBEngine().CompactDatabase(src, dst);
    const int counts[] = {vfs.count(Op::Write), vfs.count(Op::Sync)};
    ASSERT_GT(counts[0], 0);
    fs::remove(dst);
    struct Fault {
        Op op;
        int code;
        bool persistent;
    };
    for (const Fault& f :
         {Fault{Op::Write, SQLITE_FULL, true}, Fault{Op::Write, SQLITE_IOERR_WRITE, false},
          Fault{Op::Sync, SQLITE_IOERR_FSYNC, false}}) {
        int total = counts[f.op == Op::Write ? 0 : 1];
        for (int n = 1; n <= total; ++n) {
            SCOPED_TRACE("fault " + std::to_string(static_cast<int>(f.op)) + " at " +
                         std::to_string(n) + " of " + std::to_string(total));
            vfs.arm(f.op, n, f.code, f.persistent);
            int error = test::ErrorOf([&] { DBEngine().CompactDatabase(src, dst); });
            vfs.disarm();
            EXPECT_EQ(test::ReadFile(src), sourceBytes);
            if (error == 0) {
                EXPECT_EQ(rows(dst), before);
                fs::remove(dst);
            } else {
                EXPECT_TRUE(error == err::kDiskFull || error == err::kDiskError) << error;
            }
            EXPECT_EQ(leftovers(), std::vector<std::string>{});
            if (HasFailure()) return;
        }
    }
}
