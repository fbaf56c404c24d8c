// A queue update under storage faults: the run is replayed once for every write, sync and
// truncate it makes, with that one failing (or, for a full disk, that one and every later
// write), and the DT file on disk must then hold either everything the run did or nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <regex>

#include "fault_vfs.h"
#include "queue_test_support.h"

using namespace kelvor;
using namespace kelvor::queuetest;
namespace fs = std::filesystem;

namespace {

using Op = test::FaultVfs::Op;

struct FaultCase {
    const char* name;
    Op op;
    int code;
    bool persistent;
    int expectedErr;
};

const FaultCase kCases[] = {
    {"disk full", Op::Write, SQLITE_FULL, true, err::kDiskFull},
    {"write error", Op::Write, SQLITE_IOERR_WRITE, false, err::kDiskError},
    {"sync error", Op::Sync, SQLITE_IOERR_FSYNC, false, err::kDiskError},
    {"truncate error", Op::Truncate, SQLITE_IOERR_TRUNCATE, false, err::kDiskError},
};

// What a reader finds in the file afterwards; SQLite rolls a hot journal back on this open.
std::string DumpFile(const std::string& path) {
    Database d = DBEngine().Workspaces(0).OpenDatabase(path);
    std::string dump = DumpTables(d);
    d.Close();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
    std::string check = sqlite3_step(st) == SQLITE_ROW
                            ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0))
                            : "unreadable";
    sqlite3_finalize(st);
    sqlite3_close(db);
    return check == "ok" ? dump : "integrity: " + check + "\n" + dump;
}

// The run stamps the time: two successful runs differ there and nowhere else.
std::string WithoutStamp(const std::string& dump) {
    static const std::regex stamp("LastQueueProc=[^ ]* [^ ]*");
    return std::regex_replace(dump, stamp, "LastQueueProc=*");
}

}  // namespace

TEST(StorageFaultTest, AQueueUpdateIsCommittedWholeOrNotAtAll) {
    test::TempDir dir;
    CompanyFiles files = queueengine::CreateCompany(dir.file("company"), {200, 7});
    {
        // A first run fills the queue, so that the swept run also merges into entries and moves
        // followed-up ones to the history.
        QueueEngine engine;
        int32_t lErr = 0;
        std::string sError;
        ASSERT_TRUE(engine.ProcessQueue(files.dt, files.ca, files.so, lErr, sError)) << sError;
        Database dt = DBEngine().Workspaces(0).OpenDatabase(files.dt);
        dt.Execute("UPDATE tblDTQueue SET FollowedUp=True WHERE TransType=10");
        dt.Execute("UPDATE tblDtOptionsSession SET LastQueueProc=#2001-02-03 04:05:06#");
    }
    const std::string before = DumpFile(files.dt);

    test::FaultVfs vfs;
    DBEngine().TEST_NewDefaultWorkspace();
    struct Restore {
        ~Restore() { DBEngine().TEST_NewDefaultWorkspace(); }
    } restore;
    int trial = 0;
    // Runs the update on a fresh copy of DT; the customer tables are only read.
    auto run = [&](std::string& dtPath, int32_t& lErr) {
        dtPath = dir.file("trial" + std::to_string(++trial) + ".mdb");
        fs::copy_file(files.dt, dtPath);
        std::string sError;
        QueueEngine engine;
        return engine.ProcessQueue(dtPath, files.ca, files.so, lErr, sError);
    };

    std::string path;
    int32_t lErr = 0;
    vfs.reset();
    ASSERT_TRUE(run(path, lErr));
    const int counts[] = {vfs.count(Op::Write), vfs.count(Op::Sync), vfs.count(Op::Truncate)};
    const std::string after = WithoutStamp(DumpFile(path));
    ASSERT_NE(after, WithoutStamp(before));
    ASSERT_GT(counts[0], 0);
    ASSERT_GT(counts[1], 0);

    for (const FaultCase& c : kCases) {
        int total = counts[static_cast<int>(c.op)];
        for (int n = 1; n <= total; ++n) {
            SCOPED_TRACE(std::string(c.name) + " at operation " + std::to_string(n) + " of " +
                         std::to_string(total));
            vfs.arm(c.op, n, c.code, c.persistent);
            lErr = 0;
            bool ok = run(path, lErr);
            bool fired = vfs.fired();
            vfs.disarm();
            std::string dump = DumpFile(path);
            if (ok) {
                EXPECT_EQ(WithoutStamp(dump), after) << "reported success";
            } else {
                EXPECT_TRUE(fired);
                EXPECT_EQ(lErr, c.expectedErr);
                EXPECT_EQ(dump, before) << "reported failure with " << lErr;
            }
            EXPECT_FALSE(fs::exists(path + "-journal"));
            if (::testing::Test::HasFailure()) return;
        }
    }
}
