// The roster and the table locks, with a second user in a separate process.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

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
    // Any name of the database finds its users, so compaction through a link is refused too.
    std::filesystem::create_symlink("DT.mdb", dir.file("alias.mdb"));
    EXPECT_EQ(rosterCount(dir.file("alias.mdb")), 3);
    EXPECT_EQ(
        kelvor::test::ErrorOf([&] { locking::ExclusiveLock::Acquire(dir.file("alias.mdb")); }),
        err::kOpenedByOther);

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

namespace {

// Every entry of a folder with what it holds: a digest of a file's bytes, a link's target, or
// its kind.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (e.is_symlink())
            out[name] = "link to " + std::filesystem::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            out[name] =
                std::to_string(std::hash<std::string>{}(kelvor::test::ReadFile(e.path().string())));
        else
            out[name] = "kind " + std::to_string(static_cast<int>(e.status().type()));
    }
    return out;
}

// The roster's failure in the form of the other operations' errors.
int rosterError(const std::string& path) {
    return rosterCount(path) < 0 ? err::kCantOpenFile : 0;
}

int exclusiveError(const std::string& path) {
    return kelvor::test::ErrorOf([&] { locking::ExclusiveLock::Acquire(path); });
}

}  // namespace

TEST_F(LockingTest, ADatabaseNamedLikeALockFileIsNeverTouched) {
    std::string victim = dir.file("Victim.ldb");
    {
        Database v = CreateAndOpen(dir.file("v.mdb"));
        v.Execute("CREATE TABLE tblV (Id LONG)");
        v.Execute("INSERT INTO tblV VALUES (1)");
        v.Close();
        Database db = DBEngine().Workspaces(0).OpenDatabase(path);
        db.LinkTable("tblV", dir.file("v.mdb"));
    }
    // A link to such a name, as an earlier version let one be made.
    std::filesystem::rename(dir.file("v.mdb"), victim);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    std::string relink = "UPDATE MSysObjects SET Database = '" + victim + "' WHERE Name = 'tblV'";
    EXPECT_EQ(sqlite3_exec(raw, relink.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    std::filesystem::copy_file(victim, dir.file("VICTIM.LDB"));
    std::filesystem::create_symlink("Victim.ldb", dir.file("alias.mdb"));
    auto before = snapshot(dir.path());
    auto open = [](const std::string& p) { DBEngine().Workspaces(0).OpenDatabase(p); };

    const std::vector<std::pair<std::string, std::function<int()>>> cases = {
        {"open", [&] { return kelvor::test::ErrorOf([&] { open(victim); }); }},
        {"open in capitals",
         [&] { return kelvor::test::ErrorOf([&] { open(dir.file("VICTIM.LDB")); }); }},
        {"open through a link",
         [&] { return kelvor::test::ErrorOf([&] { open(dir.file("alias.mdb")); }); }},
        {"use a linked table",
         [&] {
             Database db = DBEngine().Workspaces(0).OpenDatabase(path);
             return kelvor::test::ErrorOf([&] { db.OpenRecordset("tblV", dbOpenSnapshot); });
         }},
        {"roster", [&] { return rosterError(victim); }},
        {"roster through a link", [&] { return rosterError(dir.file("alias.mdb")); }},
        {"compact", [&] { return exclusiveError(victim); }},
        {"compact through a link", [&] { return exclusiveError(dir.file("alias.mdb")); }},
    };
    for (const auto& [name, run] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run(), err::kCantOpenFile);
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

TEST_F(LockingTest, OnlyALockFileAtTheLockPathIsUsed) {
    std::string lockPath = locking::LockFilePath(path);
    std::string victim = dir.file("victim.txt");
    std::ofstream(victim) << "nothing may be written here\n";
    auto writeAt = [&](off_t at, const std::string& bytes) {
        std::fstream f(lockPath, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(at);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    auto previousLayout = [&](const std::string& userSlotText) {
        std::ofstream(lockPath, std::ios::binary) << std::string(1024, '\0');
        writeAt(1024, "tbldtqueue" + std::string(242, '\0'));  // a table held by user slot 0
        writeAt(17408, userSlotText);
    };
    const std::string oldUser =
        "oldhost" + std::string(57, '\0') + "olduser" + std::string(57, '\0');
    struct Case {
        std::string name;
        std::function<void()> make;
        bool usable;
    };
    const std::vector<Case> cases = {
        {"link to a victim", [&] { std::filesystem::create_symlink("victim.txt", lockPath); },
         false},
        {"dangling link", [&] { std::filesystem::create_symlink("made.txt", lockPath); }, false},
        {"foreign file", [&] { std::ofstream(lockPath) << "not a lock file\n"; }, false},
        {"second name of an empty file",
         [&] {
             std::ofstream(dir.file("empty.txt"));
             std::filesystem::create_hard_link(dir.file("empty.txt"), lockPath);
         },
         false},
        {"pipe", [&] { ASSERT_EQ(::mkfifo(lockPath.c_str(), 0666), 0); }, false},
        {"folder", [&] { std::filesystem::create_directory(lockPath); }, false},
        {"zero header, then a name without its end", [&] { previousLayout(std::string(128, 'x')); },
         false},
        {"previous layout left by a killed program", [&] { previousLayout(oldUser); }, true},
        {"empty file", [&] { std::ofstream(lockPath).flush(); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        auto before = snapshot(dir.path());
        if (!c.usable) {
            EXPECT_EQ(kelvor::test::ErrorOf([&] { DBEngine().Workspaces(0).OpenDatabase(path); }),
                      err::kCantOpenFile);
            EXPECT_EQ(rosterError(path), err::kCantOpenFile);
            EXPECT_EQ(exclusiveError(path), err::kCantOpenFile);
            EXPECT_EQ(snapshot(dir.path()), before);
        } else {
            {
                Database db = DBEngine().Workspaces(0).OpenDatabase(path);
                EXPECT_EQ(rosterCount(path), 1);  // the stale entries hold no lock
                Recordset rs = db.OpenRecordset("tblDTQueue", dbOpenDynaset, dbDenyWrite);
            }
            EXPECT_FALSE(std::filesystem::exists(lockPath));  // taken over, then tidied up
        }
        std::filesystem::remove(lockPath);
        std::filesystem::remove(dir.file("empty.txt"));
    }
}

TEST_F(LockingTest, AnotherAccountOfTheDatabasesGroupRegistersReadersReadOnly) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a second account";
    struct passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no account 'nobody'";
    const gid_t company = 4242;  // a group the other account has only as a supplementary one
    std::string lockPath = locking::LockFilePath(path);
    ASSERT_EQ(::chown(dir.path().c_str(), 0, company), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0770), 0);
    ASSERT_EQ(::chown(path.c_str(), 0, company), 0);
    struct Case {
        std::string name;
        mode_t mode;
        bool rootFirst;
        int roster;        // entries while both (or the other alone) have it open
        std::string deny;  // what the other account gets for a deny-write lock
        uid_t lockOwner;   // of the lock file, when there is one
    };
    const uid_t none = static_cast<uid_t>(-1);
    const std::vector<Case> cases = {
        {"group may write, root connected", 0660, true, 2, "ok", 0},
        {"group may write, alone", 0660, false, 1, "ok", nobody->pw_uid},
        {"group may read, root connected", 0640, true, 1, "error 3211", 0},
        {"group may read, alone", 0640, false, 0, "error 3211", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        Database root;
        if (c.rootFirst) root = DBEngine().Workspaces(0).OpenDatabase(path);
        auto other = StartLockHolder();
        ASSERT_EQ(other->ask("become " + std::to_string(nobody->pw_uid) + " " +
                             std::to_string(nobody->pw_gid) + " " + std::to_string(company)),
                  "ok");
        ASSERT_EQ(other->ask("open " + path), "ok");
        EXPECT_EQ(other->ask("read tblDTQueue"), "ok");
        if (c.mode & 020) {
            EXPECT_EQ(other->ask("append tblDTQueue"), "ok");
        }
        EXPECT_EQ(other->ask("deny tblDTQueue"), c.deny);
        EXPECT_EQ(rosterCount(path), c.roster);
        struct stat st;
        if (c.lockOwner == none) {
            EXPECT_NE(::lstat(lockPath.c_str(), &st), 0);  // a reader makes no lock file
            continue;
        }
        ASSERT_EQ(::lstat(lockPath.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.lockOwner);
        EXPECT_EQ(st.st_gid, company);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
}
