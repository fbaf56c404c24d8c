// Compaction and restoring a backup: checked copies that take their name only when whole,
// refusals that keep data safe, and runs killed half-way.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "kelvor/dao.h"
#include "locking/lock_file.h"
#include "sqlite/compact.h"
#include "test_util.h"

using namespace kelvor;
using kelvor::test::ChildProcess;
using kelvor::test::CreateAndOpen;
using kelvor::test::ReadFile;
using kelvor::test::StartLockHolder;
using kelvor::test::TempDir;

namespace {

bool exists(const std::string& path) {
    struct stat sb;
    return ::lstat(path.c_str(), &sb) == 0;
}

// Waits for a file to appear, with a bound far beyond any normal wait.
bool appears(const std::string& path) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!exists(path)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A plain SQLite connection: it holds SQLite's own locks on a file without registering in the
// engine's lock file, and reads files as they are.
class RawConnection {
  public:
    explicit RawConnection(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~RawConnection() { sqlite3_close_v2(db_); }
    int exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    // The first column of the first row, or the error message.
    std::string text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            auto t = sqlite3_column_text(st, 0);
            out = t ? reinterpret_cast<const char*>(t) : "";
        } else {
            out = std::string("error: ") + sqlite3_errmsg(db_);
        }
        sqlite3_finalize(st);
        return out;
    }

  private:
    sqlite3* db_ = nullptr;
};

// Damage that reading every row does not notice: the index is declared on another column than
// the one its entries hold.
void redefineIndex(const std::string& path, const std::string& index, const std::string& from,
                   const std::string& to) {
    RawConnection c(path);
    ASSERT_EQ(c.exec("PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = replace(sql, '\"" +
                     from + "\"', '\"" + to + "\"') WHERE name = '" + index + "'"),
              SQLITE_OK);
    ASSERT_EQ(c.text("SELECT count(*) FROM sqlite_schema WHERE sql LIKE '%\"" + to + "\")'"), "1");
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
        "SELECT Count(*) AS n, Sum(Amount) AS s, Min(D) AS firstD, Min(B) AS anyB FROM tblDTQueue",
        dbOpenSnapshot);
    EXPECT_EQ(rs.Fields("n").Value(), Value(1000));
    EXPECT_EQ(rs.Fields("s").Value(), Value(Currency::parse("499750")));
    EXPECT_EQ(rs.Fields("firstD").Value(), Value(Date::fromParts(2026, 1, 2)));
    EXPECT_EQ(rs.Fields("anyB").Value(), Value(true));
    EXPECT_EQ(db.TableDefs("tblCaClient").Connect(), ";DATABASE=" + ca);
    QueryDef q = db.QueryDefs("qryOver");
    q.Parameters("pMin") = 998.5;
    EXPECT_FALSE(q.OpenRecordset(dbOpenForwardOnly).EOF_());

    auto r = kelvor::test::RunKelvor("compact " + source + " " + dir.file("again.mdb"));
    EXPECT_EQ(r.status, 0) << r.err;
}

// Files written before text was ordered for every letter hold their NOCASE indexes in SQLite's
// own order ("é" after "f"). Compaction checks such a file as it is ordered; opening it rebuilds
// the indexes once, so that a lookup finds "é" where the engine now looks for it.
TEST_F(CompactTest, AFileInSqlitesOwnTextOrderIsCheckedAsItIsAndReorderedWhenOpened) {
    std::string old = dir.file("old.mdb");
    {
        Database db = CreateAndOpen(old);
        db.Execute("CREATE TABLE n (s TEXT(10))");
        db.Execute("CREATE INDEX ixS ON n (s)");
        for (const char* v : {"f", "é", "E", "d", "Ä", "b"})
            db.Execute(std::string("INSERT INTO n VALUES ('") + v + "')");
    }
    {
        RawConnection raw(old);
        ASSERT_EQ(raw.text("PRAGMA application_id"), "1263948849");
        ASSERT_EQ(raw.exec("PRAGMA application_id=0; REINDEX"), SQLITE_OK);
    }
    DBEngine().CompactDatabase(old, dir.file("old_copy.mdb"));
    EXPECT_EQ(RawConnection(dir.file("old_copy.mdb")).text("PRAGMA application_id"), "0");

    {
        Database db = DBEngine().Workspaces(0).OpenDatabase(old);
        Recordset rs = db.OpenRecordset("SELECT Count(*) AS n FROM n WHERE s = 'É'");
        EXPECT_EQ(rs.Fields("n").Value(), Value(1));
        std::string order;
        for (rs = db.OpenRecordset("SELECT s FROM n ORDER BY s"); !rs.EOF_(); rs.MoveNext())
            order += rs.Fields("s").Value().toString() + " ";
        EXPECT_EQ(order, "Ä b d E é f ");
    }
    EXPECT_EQ(RawConnection(old).text("PRAGMA application_id"), "1263948849");
    DBEngine().CompactDatabase(old, dir.file("new_copy.mdb"));
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
    EXPECT_FALSE(exists(sqlite::StagingPath(copy)));
    EXPECT_FALSE(exists(sqlite::StagingPath(copy) + "-journal"));
}

// The check must find what a whole-file integrity_check finds, both when it is one whole-file
// check (a file with free pages) and when it is shared out by table (a compacted file).
TEST_F(CompactTest, TheCheckFindsDamageThatReadingTheRowsDoesNot) {
    std::string compacted = dir.file("compacted.mdb");
    DBEngine().CompactDatabase(source, compacted);
    enum Damage {
        kNone,
        kEveryShape,
        kIndexOnAnotherColumn,
        kPageNothingUses,
        kIndexOutOfOrder,
        kNotUnique
    };
    const struct {
        const char* name;
        bool compacted;
        Damage damage;
        int error;
    } cases[] = {
        {"sound, with free pages", false, kNone, 0},
        {"sound, compacted", true, kNone, 0},
        {"sound, with tables and indexes of every shape", true, kEveryShape, 0},
        {"index disagrees with its table, with free pages", false, kIndexOnAnotherColumn, 3056},
        {"index disagrees with its table, compacted", true, kIndexOnAnotherColumn, 3056},
        {"a page no b-tree uses", true, kPageNothingUses, 3056},
        {"index entries stored in the other order", true, kIndexOutOfOrder, 3056},
        {"a unique index with one key twice", true, kNotUnique, 3056},
    };
    // Declares what the stored index is not: descending, or unique over repeated values.
    auto redeclare = [](const std::string& path, const std::string& sql) {
        RawConnection c(path);
        ASSERT_EQ(c.exec("CREATE INDEX ixB ON tblDTQueue (B)"), SQLITE_OK);
        ASSERT_EQ(c.exec("PRAGMA writable_schema=ON; " + sql), SQLITE_OK);
    };
    for (const auto& c : cases) {
        std::string path = dir.file(std::string("check-") + std::to_string(&c - cases) + ".mdb");
        std::string data = ReadFile(c.compacted ? compacted : source);
        if (c.damage == kPageNothingUses) {
            // One more page of zeros, counted in the header's page count.
            size_t pageSize =
                (static_cast<unsigned char>(data[16]) << 8) | static_cast<unsigned char>(data[17]);
            uint32_t pages = static_cast<uint32_t>(data.size() / pageSize) + 1;
            data.append(pageSize, '\0');
            for (int i = 0; i < 4; ++i) data[28 + i] = static_cast<char>(pages >> (24 - 8 * i));
        }
        writeFile(path, data);
        if (c.damage == kEveryShape) {
            RawConnection raw(path);
            ASSERT_EQ(raw.exec("CREATE TABLE w (k TEXT PRIMARY KEY, v) WITHOUT ROWID; "
                               "INSERT INTO w VALUES ('a', 1), ('b', 2.5), ('c', x'00'); "
                               "CREATE INDEX ixLower ON tblDTQueue (lower(CustID)); "
                               "CREATE INDEX ixSome ON tblDTQueue (Amount) WHERE Amount > 10; "
                               "CREATE UNIQUE INDEX ixBoth ON tblDTQueue (CustID DESC, D); "
                               "CREATE INDEX ixTrim ON tblDTQueue (Amount, CustID COLLATE RTRIM)"),
                      SQLITE_OK);
        }
        if (c.damage == kIndexOnAnotherColumn) redefineIndex(path, "ixCust", "CustID", "Amount");
        if (c.damage == kIndexOutOfOrder)
            redeclare(path,
                      "UPDATE sqlite_schema SET sql = replace(sql, '(\"CustID\")', "
                      "'(\"CustID\" DESC)') WHERE name = 'ixCust'");
        if (c.damage == kNotUnique)
            redeclare(path,
                      "UPDATE sqlite_schema SET sql = replace(sql, 'CREATE INDEX', "
                      "'CREATE UNIQUE INDEX') WHERE name = 'ixB'");
        RawConnection raw(path);
        EXPECT_EQ(raw.text("PRAGMA integrity_check") == "ok", c.error == 0) << c.name;
        EXPECT_EQ(kelvor::test::ErrorOf([&] { sqlite::CheckDatabase(path); }), c.error) << c.name;
    }
}

TEST_F(CompactTest, TheCopyTakesTheSourcesOwnerGroupAndMode) {
    ASSERT_EQ(::chown(source.c_str(), 4321, 8765), 0) << "the tests run as root";
    ASSERT_EQ(::chmod(source.c_str(), 0600), 0);
    std::string copy = dir.file("copy.mdb");
    DBEngine().CompactDatabase(source, copy);
    struct stat sb;
    ASSERT_EQ(::stat(copy.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_uid, 4321u);
    EXPECT_EQ(sb.st_gid, 8765u);
    EXPECT_EQ(sb.st_mode & 07777, 0600u);
}

// Progress counts the pages in use twice (written, then checked) and ends while the source is
// still locked, with the copy under its name; a report that throws stops the compaction at
// each stage, leaving nothing behind. The source is larger than SQLite's page cache, so that
// its copy is reported while it is written.
TEST_F(CompactTest, ProgressRunsToTheSwapWhichHappensUnderTheLock) {
    std::string big = dir.file("big.mdb"), copy = dir.file("big_BK.mdb");
    DBEngine().CreateDatabase(big);
    RawConnection(big).exec(
        "CREATE TABLE t (x BLOB); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM "
        "n WHERE i < 30000) INSERT INTO t SELECT randomblob(200) FROM n; DELETE FROM t WHERE "
        "rowid % 3 = 0");
    uint64_t inUse = std::stoull(RawConnection(big).text(
        "SELECT page_count - freelist_count FROM pragma_page_count, pragma_freelist_count"));
    const std::string before = ReadFile(big);

    std::vector<uint64_t> done;
    int duringSwap = 0;
    CompactOptions options;
    options.progress = [&](uint64_t d, uint64_t total) {
        EXPECT_EQ(total, 2 * inUse);
        EXPECT_EQ(exists(copy), d == total);
        done.push_back(d);
    };
    options.whileLocked = [&] {
        EXPECT_TRUE(exists(copy));
        duringSwap = test::ErrorOf([&] { DBEngine().Workspaces(0).OpenDatabase(big); });
    };
    DBEngine().CompactDatabase(big, copy, options);
    EXPECT_EQ(duringSwap, 3045);
    ASSERT_GE(done.size(), 3u);
    EXPECT_EQ(done.front(), 0u);
    EXPECT_EQ(done.back(), 2 * inUse);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_LT(done[1], inUse) << "nothing reported while the copy was written";

    for (auto [stage, at] : {std::pair{"before the copy", 0.0}, std::pair{"copying", 0.1},
                             std::pair{"checking", 0.7}, std::pair{"at the end", 1.0}}) {
        SCOPED_TRACE(stage);
        std::string dest = dir.file(std::string(stage) + ".mdb");
        options.progress = [at = at](uint64_t d, uint64_t total) {
            if (d >= at * static_cast<double>(total)) throw JetError(3000, "stopped");
        };
        options.whileLocked = [] { ADD_FAILURE() << "swapped"; };
        EXPECT_EQ(test::MessageOf([&] { DBEngine().CompactDatabase(big, dest, options); }),
                  "stopped");
        EXPECT_FALSE(exists(dest));
        EXPECT_FALSE(exists(sqlite::StagingPath(dest)));
        EXPECT_FALSE(exists(locking::LockFilePath(big)));
    }
    EXPECT_EQ(ReadFile(big), before);
}

// `kelvor compact` in a child process, stopped where the test wants it: at its first read of
// the source, which a plain SQLite connection of the test holds exclusively, or at the commit
// of its copy, while the test reads that file. Then killed (kill -9), or let go after the test
// has made a file under the destination's name.
TEST_F(CompactTest, AKilledOrOvertakenCompactionLeavesTheDestinationAlone) {
    enum Stop { kKilledReadingSource, kKilledWritingCopy, kDestinationMadeMeanwhile };
    const struct {
        const char* name;
        Stop stop;
    } cases[] = {
        {"killed waiting to read the source", kKilledReadingSource},
        {"killed writing the copy", kKilledWritingCopy},
        {"destination made meanwhile", kDestinationMadeMeanwhile},
    };
    const std::string before = ReadFile(source);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dest = dir.file("copy-" + std::to_string(&c - cases) + ".mdb");
        std::string staged = sqlite::StagingPath(dest);
        {
            RawConnection holdSource(source);
            ASSERT_EQ(holdSource.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
            ChildProcess child(
                {"/bin/sh", "-c",
                 std::string("exec ") + KELVOR_TOOL + " compact " + source + " " + dest + " 2>&1"},
                {"KELVOR_BUSY_TIMEOUT_MS=60000"});
            ASSERT_TRUE(appears(staged));
            if (c.stop == kKilledReadingSource) {
                child.kill9();
            } else if (c.stop == kKilledWritingCopy) {
                RawConnection readCopy(staged);
                ASSERT_EQ(readCopy.exec("BEGIN; SELECT count(*) FROM sqlite_schema"), SQLITE_OK);
                ASSERT_EQ(holdSource.exec("COMMIT"), SQLITE_OK);
                ASSERT_TRUE(appears(staged + "-journal"));
                child.kill9();
            } else {
                writeFile(dest, "theirs");
                ASSERT_EQ(holdSource.exec("COMMIT"), SQLITE_OK);
                EXPECT_EQ(child.readLine().substr(0, 11), "error 3204:");
            }
        }
        EXPECT_EQ(ReadFile(source), before);
        if (c.stop == kDestinationMadeMeanwhile) {
            EXPECT_TRUE(ReadFile(dest) == "theirs");
            EXPECT_FALSE(exists(staged));
            continue;
        }
        EXPECT_FALSE(exists(dest));
        DBEngine().CompactDatabase(source, dest);
        EXPECT_FALSE(exists(staged));
        EXPECT_FALSE(exists(staged + "-journal"));
        Database db = DBEngine().Workspaces(0).OpenDatabase(dest);
        Recordset rs = db.OpenRecordset("SELECT Count(*) AS n FROM tblDTQueue", dbOpenSnapshot);
        EXPECT_EQ(rs.Fields("n").Value(), Value(1000));
    }
}

namespace {

// A database of notes: `rows` rows whose text starts with `prefix`, and an index on the text.
void makeNotes(const std::string& path, const std::string& prefix, int rows) {
    Database db = CreateAndOpen(path);
    db.Execute("CREATE TABLE tblNotes (Id COUNTER, Note MEMO)");
    db.Execute("CREATE INDEX ixNote ON tblNotes (Note)");
    DBEngine().BeginTrans();
    for (int i = 0; i < rows; ++i)
        db.Execute("INSERT INTO tblNotes (Note) VALUES ('" + prefix + std::to_string(i) +
                   std::string(200, '.') + "')");
    DBEngine().CommitTrans();
}

// Every row of the notes, or the error that reading them gives.
std::string notesOf(const std::string& path) {
    RawConnection c(path);
    return c.text("SELECT group_concat(Id || ':' || Note, ',') FROM tblNotes") + " " +
           c.text("PRAGMA integrity_check");
}

// A transaction a killed program left unfinished: the sqlite3 shell changes every row, with a
// page cache so small that changed pages reach the file, and is killed before it commits.
bool leaveHotJournal(const std::string& path) {
    ChildProcess shell({"/usr/bin/sqlite3", path});
    if (shell.ask("PRAGMA cache_size=2; BEGIN; UPDATE tblNotes SET Note = 'changed'; "
                  "SELECT 'written';") != "written")
        return false;
    shell.kill9();
    return exists(path + "-journal");
}

// The files of a folder, lock files left out: name -> size and a hash of the content.
std::map<std::string, std::string> filesIn(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".ldb") == 0) continue;
        std::string data = ReadFile(e.path().string());
        out[name] = std::to_string(data.size()) + " bytes #" +
                    std::to_string(std::hash<std::string>{}(data));
    }
    return out;
}

struct RestoreFiles {
    TempDir dir;
    std::string backup = dir.file("BK.mdb");
    std::string database = dir.file("DT.mdb");
    std::string oldNotes;  // what the old database holds once its journal is rolled back
    std::unique_ptr<ChildProcess> otherUser;
};

}  // namespace

// Each case arranges a folder, restores BK.mdb over DT.mdb and judges by the files: on success
// DT.mdb holds exactly the backup's rows with the old file's owner and mode (or a new file's),
// the old files are set aside byte for byte and still open as the old database; on failure
// every file is as it was.
TEST(RestoreTest, PutsTheBackupInPlaceAndSetsTheOldFilesAside) {
    const auto hotDatabase = [](RestoreFiles& f) {
        makeNotes(f.database, "C", 300);
        f.oldNotes = notesOf(f.database);
        ASSERT_TRUE(leaveHotJournal(f.database));
    };
    const struct {
        const char* name;
        std::function<void(RestoreFiles&)> arrange;
        int error;
        std::vector<std::string> setAside;
        bool viaTool;
    } cases[] = {
        {"a hot journal beside the database",
         hotDatabase,
         0,
         {"DT.mdb.before-restore", "DT.mdb.before-restore-journal"},
         true},
        {"a journal without its database",
         [&](RestoreFiles& f) {
             hotDatabase(f);
             std::remove(f.database.c_str());
             f.oldNotes.clear();
         },
         0,
         {"DT.mdb.before-restore-journal"},
         false},
        {"set-aside names taken",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             f.oldNotes = notesOf(f.database);
             writeFile(f.database + ".before-restore", "x");
             writeFile(f.database + ".before-restore-2-journal", "y");
         },
         0,
         {"DT.mdb.before-restore-3"},
         false},
        {"no database yet", [](RestoreFiles&) {}, 0, {}, false},
        {"another account's database",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             f.oldNotes = notesOf(f.database);
             ASSERT_EQ(::chown(f.database.c_str(), 4321, 8765), 0) << "the tests run as root";
             ASSERT_EQ(::chmod(f.database.c_str(), 0640), 0);
         },
         0,
         {"DT.mdb.before-restore"},
         false},
        {"missing backup",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             std::remove(f.backup.c_str());
         },
         3024,
         {},
         false},
        {"backup that is not a database",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             writeFile(f.backup, std::string(5000, 'j'));
         },
         3343,
         {},
         false},
        {"damaged backup",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             redefineIndex(f.backup, "ixNote", "Note", "Id");
         },
         3056,
         {},
         false},
        {"backup with a hot journal",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             ASSERT_TRUE(leaveHotJournal(f.backup));
         },
         3032,
         {},
         false},
        {"database open in another process",
         [](RestoreFiles& f) {
             makeNotes(f.database, "C", 10);
             f.otherUser = StartLockHolder();
             ASSERT_EQ(f.otherUser->ask("open " + f.database), "ok");
         },
         3356,
         {},
         true},
    };
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RestoreFiles f;
        makeNotes(f.backup, "B", 100);
        const std::string backupNotes = notesOf(f.backup);
        c.arrange(f);
        if (HasFatalFailure()) return;
        struct stat old;
        const bool hadDatabase = ::stat(f.database.c_str(), &old) == 0;
        const auto before = filesIn(f.dir.path());

        std::vector<std::string> setAside;
        int error = 0;
        if (c.viaTool) {
            auto r = kelvor::test::RunKelvor("restore " + f.backup + " " + f.database);
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line);)
                setAside.push_back(line.rfind("set aside: ", 0) == 0 ? line.substr(11) : line);
            if (r.status != 0) error = r.err.rfind("error ", 0) == 0 ? std::atoi(&r.err[6]) : -1;
        } else {
            error = kelvor::test::ErrorOf(
                [&] { setAside = DBEngine().RestoreDatabase(f.backup, f.database); });
        }
        EXPECT_EQ(error, c.error);
        const auto after = filesIn(f.dir.path());
        if (c.error != 0) {
            EXPECT_EQ(after, before);
            continue;
        }

        std::vector<std::string> expected;
        for (const auto& name : c.setAside) expected.push_back(f.dir.file(name));
        ASSERT_EQ(setAside, expected);
        EXPECT_EQ(notesOf(f.database), backupNotes);
        EXPECT_FALSE(exists(f.database + "-journal"));
        EXPECT_FALSE(exists(sqlite::StagingPath(f.database)));
        auto moved = before;
        for (const auto& path : setAside) {
            std::string name = std::filesystem::path(path).filename().string();
            bool isJournal = name.size() > 8 && name.compare(name.size() - 8, 8, "-journal") == 0;
            std::string from = isJournal ? "DT.mdb-journal" : "DT.mdb";
            moved[name] = moved[from];
            moved.erase(from);
        }
        moved["DT.mdb"] = after.count("DT.mdb") ? after.at("DT.mdb") : "";
        EXPECT_EQ(after, moved);
        // The old file, opened with its journal, is the old database as it was.
        if (!f.oldNotes.empty()) {
            EXPECT_EQ(notesOf(setAside.front()), f.oldNotes);
        }

        struct stat now;
        ASSERT_EQ(::stat(f.database.c_str(), &now), 0);
        EXPECT_EQ(now.st_uid, hadDatabase ? old.st_uid : ::geteuid());
        EXPECT_EQ(now.st_gid, hadDatabase ? old.st_gid : ::getegid());
        EXPECT_EQ(now.st_mode & 07777, hadDatabase ? old.st_mode & 07777 : 0666 & ~mask);
    }
}
