// The roster and the table locks, with a second user in a separate process.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "kelvor/dao.h"
#include "kelvor/roster.h"
#include "locking/lock_file.h"
#include "test_util.h"

using namespace kelvor;
using kelvor::test::CreateAndOpen;
using kelvor::test::StartLockHolder;
using kelvor::test::TempDir;

namespace {

int rosterCount(const std::string& path) {
    std::vector<std::string> names;
    return LDBUser_GetUsers(names, path, kRosterConnectedUsers);
}

class LockingTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("DT.mdb");
    void SetUp() override {
        Database db = CreateAndOpen(path);
        db.Execute("CREATE TABLE tblDtQueueProcLock (Id LONG)");
        db.Execute("CREATE TABLE tblDTLogon (Id LONG)");
        db.Execute("CREATE TABLE tblDTQueue (CustID TEXT(20))");
        db.GuardTable("tblDTLogon", "tblDtQueueProcLock");
    }
};

}  // namespace

TEST_F(LockingTest, RosterListsOpenConnectionsOfEveryProcess) {
    std::string host = locking::HostName();
    EXPECT_EQ(rosterCount(path), 0);
    EXPECT_LT(rosterCount(dir.file("missing.mdb")), 0);

    Database mine = DBEngine().Workspaces(0).OpenDatabase(path);
    Database second = DBEngine().Workspaces(0).OpenDatabase(path);  // two connections, two users
    auto other = StartLockHolder();
    ASSERT_EQ(other->ask("open " + path), "ok");
    std::vector<std::string> names;
    ASSERT_EQ(LDBUser_GetUsers(names, path, kRosterConnectedUsers), 3);
    EXPECT_EQ(names, (std::vector<std::string>{host, host, host}));
    EXPECT_EQ(other->ask("users " + path), "3," + host + "," + host + "," + host);

    auto r = kelvor::test::RunKelvor("users " + path);
    EXPECT_EQ(r.out, host + "\tAdmin\n" + host + "\tAdmin\n" + host + "\tAdmin\n");

    second.Close();
    EXPECT_EQ(rosterCount(path), 2);
    other->kill9();  // a crashed user leaves no stale entry
    EXPECT_EQ(rosterCount(path), 1);
    mine = Database();
    EXPECT_EQ(rosterCount(path), 0);
    EXPECT_FALSE(std::ifstream(locking::LockFilePath(path)).good());  // the last user tidies up
}

TEST_F(LockingTest, RosterFindsAConnectionInASlotBelowAnOlderOne) {
    // A newer connection in a freed lower slot: the lock the kernel reports first may be the
    // older one above it, and the roster must not skip what lies below.
    Database first = DBEngine().Workspaces(0).OpenDatabase(path);
    Database second = DBEngine().Workspaces(0).OpenDatabase(path);
    first.Close();
    Database third = DBEngine().Workspaces(0).OpenDatabase(path);
    EXPECT_EQ(rosterCount(path), 2);
    for (int i = 0; i < 5; ++i) {
        Database more = DBEngine().Workspaces(0).OpenDatabase(path);
        second.Close();
        second = DBEngine().Workspaces(0).OpenDatabase(path);
        EXPECT_EQ(rosterCount(path), 3) << i;
    }
}

TEST_F(LockingTest, DenyWriteRefusesOtherLockersAndWritersUntilReleased) {
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    auto other = StartLockHolder();
    ASSERT_EQ(other->ask("open " + path), "ok");
    ASSERT_EQ(other->ask("deny tblDTQueue"), "ok");

    EXPECT_EQ(
        kelvor::test::ErrorOf([&] { db.OpenRecordset("tblDTQueue", dbOpenDynaset, dbDenyWrite); }),
        3262);
    EXPECT_EQ(kelvor::test::MessageOf(
                  [&] { db.OpenRecordset("tblDTQueue", dbOpenDynaset, dbDenyWrite); }),
              "Couldn't lock table 'tblDTQueue'; currently in use by user 'Admin' on machine '" +
                  locking::HostName() + "'.");
    Recordset rs = db.OpenRecordset("tblDTQueue", dbOpenDynaset);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { rs.AddNew(); }), 3027);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { db.Execute("INSERT INTO tblDTQueue VALUES ('A')"); }),
              3027);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { db.Execute("DELETE FROM tblDTQueue"); }), 3027);
    EXPECT_EQ(other->ask("append tblDTQueue"), "ok");  // the holder itself may write
    EXPECT_FALSE(db.OpenRecordset("tblDTQueue", dbOpenSnapshot).EOF_());  // reads still work
    db.Execute("INSERT INTO tblDTLogon VALUES (1)");                      // other tables are free

    ASSERT_EQ(other->ask("release tblDTQueue"), "ok");
    db.Execute("INSERT INTO tblDTQueue VALUES ('A')");
    Recordset mine = db.OpenRecordset("tblDTQueue", dbOpenDynaset, dbDenyWrite);
    EXPECT_EQ(other->ask("deny tblDTQueue"), "error 3262");
    EXPECT_EQ(other->ask("append tblDTQueue"), "error 3027");
    mine.Close();
    EXPECT_EQ(other->ask("append tblDTQueue"), "ok");

    // The holder's death frees the lock at once.
    ASSERT_EQ(other->ask("deny tblDTQueue"), "ok");
    other->kill9();
    db.Execute("INSERT INTO tblDTQueue VALUES ('B')");
    Recordset again = db.OpenRecordset("tblDTQueue", dbOpenDynaset, dbDenyWrite);
}

TEST_F(LockingTest, AGuardedTableRefusesNewRowsOnlyWhileItsGuardIsLocked) {
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    // A user who logged on earlier keeps the table open all day.
    Recordset session = db.OpenRecordset("tblDTLogon", dbOpenDynaset, dbAppendOnly);
    session.AddNew();
    session.CancelUpdate();

    auto server = StartLockHolder();
    ASSERT_EQ(server->ask("open " + path), "ok");
    ASSERT_EQ(server->ask("deny tblDtQueueProcLock"), "ok");  // not stopped by the open session

    auto newcomer = StartLockHolder();
    ASSERT_EQ(newcomer->ask("open " + path), "ok");
    ASSERT_EQ(newcomer->ask("hold tblDTLogon"), "ok");
    EXPECT_EQ(newcomer->ask("addnew tblDTLogon"), "error 3027");
    EXPECT_EQ(kelvor::test::ErrorOf([&] { session.AddNew(); }), 3027);
    EXPECT_EQ(newcomer->ask("append tblDTQueue"), "ok");

    ASSERT_EQ(server->ask("release tblDtQueueProcLock"), "ok");
    EXPECT_EQ(newcomer->ask("addnew tblDTLogon"), "ok");
    EXPECT_EQ(kelvor::test::ErrorOf([&] { db.GuardTable("tblNope", "tblDTQueue"); }), 3078);
}
