// Benchmarks of the engine layer's file-level services, each against a baseline measured in the
// same run.
//
// Compaction: DBEngine().CompactDatabase of a queue database of some 250 MB (tblDTQueue with an
// index on CustID and one on LogID, a share of its rows deleted so that there are free pages to
// reclaim) against the sqlite3 shell's VACUUM INTO of the same file, run as a child process.
// Both are timed by wall clock. The layer does more than the shell: it locks the file, writes
// the copy under a hidden name, checks it in full (quick_check, and every index read against its
// table, on two threads), syncs it and renames it into place; a breakdown runs those steps
// one by one on a copy of its own, so that a miss shows where the time goes, and times other
// ways of copying and checking with the ratio each would give. Target: layer / shell at most
// 1.5. A third side runs the layer with a progress callback, as the maintenance wizard does,
// and prints its ratio to the layer without one (no target: it should be about 1).
//
// All sides start from the same page cache: before every run the source is read through once
// (so each reads it from memory) and the file system's dirty pages are written back (so none
// pays for the writes of the run before). The order turns by round, so that in three rounds
// each side goes first once, and each side's best run counts.
//
// Roster: LDBUser_GetUsers with 50 connections open on one database (50 OpenDatabase calls of
// this process), then with 5 more held by a second process; the median time of one call, and
// the same call with one connection for the cost per connection. The call must list every
// connection, from both processes, and nothing once they are closed.
//
//   platform_bench [--quick] [--compaction-only | --roster-only] [--shell PATH]
//     --quick            a small database and few calls: a smoke test that fails only on errors
//     --shell PATH       the sqlite3 shell to compare with (default /usr/bin/sqlite3)
//
// The exit status is 1 on any error (an engine error, a wrong answer, a failed child) and, in
// the full run, on a missed target.
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kelvor/dao.h"
#include "kelvor/roster.h"
#include "sqlite/compact.h"

extern char** environ;

namespace {

using namespace kelvor::bench;
using namespace kelvor;

constexpr double kCompactionTargetRatio = 1.5;
// The full run's source must be at least this large for the comparison to mean anything.
constexpr double kMinSourceMb = 200;
// Rows added one by one; the rest of the table is made by doubling them.
constexpr long kSeedRows = 2000;
// Seed rows take their customer ids from this range; the doubling repeats them, so that the
// CustID index has many rows per key, as a queue's has.
constexpr long kCustomers = 5000;
// The roster's conditions: connections of this process, then more from another process.
constexpr int kConnections = 50;
constexpr int kOtherProcessConnections = 5;

struct Config {
    bool quick = false;
    bool compaction = true;
    bool roster = true;
    std::string shell = "/usr/bin/sqlite3";
    std::string self;  // this program, for the child that holds connections
    long rows = 680'000;
    int rounds = 3;
    int rosterCalls = 5000;
};

std::string sysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool exists(const std::string& path) {
    struct stat sb;
    return ::stat(path.c_str(), &sb) == 0;
}

double fileMb(const std::string& path) {
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0) fail(sysError("stat " + path));
    return static_cast<double>(sb.st_size) / (1024.0 * 1024.0);
}

void removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail(sysError("unlink " + path));
}

// The lock-information file the layer keeps beside a database ("x.mdb" -> "x.ldb").
std::string lockFileOf(const std::string& dbPath) {
    return dbPath.substr(0, dbPath.rfind('.')) + ".ldb";
}

// A plain SQLite connection, for looking at files and for timing the compaction's steps.
class RawDb {
  public:
    RawDb(const std::string& path, int flags) : path_(path) {
        int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close_v2(db_);
            fail("sqlite3_open_v2 " + path + ": " + msg);
        }
    }
    ~RawDb() { sqlite3_close_v2(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const std::string& sql) {
        char* msg = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
            std::string text = msg ? msg : "?";
            sqlite3_free(msg);
            fail(path_ + ": " + sql + ": " + text);
        }
    }
    // The first column of the first row as text.
    std::string text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            fail(path_ + ": " + sql + ": " + sqlite3_errmsg(db_));
        int rc = sqlite3_step(st);
        std::string out;
        if (rc == SQLITE_ROW) out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        if (rc != SQLITE_ROW) fail(path_ + ": " + sql + ": " + sqlite3_errmsg(db_));
        return out;
    }
    long long number(const std::string& sql) { return std::stoll(text(sql)); }

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

std::string quoteSql(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out.push_back('\'');
        out.push_back(c);
    }
    return out + "'";
}

// ---- child processes ---------------------------------------------------------------------

// Runs `args` and waits for it; returns the exit status (-1 when killed by a signal).
int runAndWait(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        errno = rc;
        fail(sysError("cannot start " + args[0]));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) fail(sysError("waitpid"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A second process holding connections to a database until it is released: this program
// started with --hold-connections. It reports "ready" once its connections are open and exits
// when its standard input closes.
class ConnectionHolder {
  public:
    ConnectionHolder(const std::string& self, const std::string& dbPath, int count) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) fail(sysError("pipe2"));
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        std::string n = std::to_string(count);
        const char* argv[] = {self.c_str(), "--hold-connections", dbPath.c_str(), n.c_str(),
                              nullptr};
        int rc =
            ::posix_spawn(&pid_, self.c_str(), &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        release_ = in[1];
        if (rc != 0) {
            ::close(out[0]);
            pid_ = -1;
            errno = rc;
            fail(sysError("cannot start " + self));
        }
        std::string said;
        char c;
        while (said.size() < 64 && ::read(out[0], &c, 1) == 1 && c != '\n') said.push_back(c);
        ::close(out[0]);
        if (said != "ready") {
            int status = finish();
            fail("the process holding " + n + " connections did not get ready (exit status " +
                 std::to_string(status) + ")");
        }
    }
    ~ConnectionHolder() {
        if (pid_ > 0) finish();
    }
    ConnectionHolder(const ConnectionHolder&) = delete;
    ConnectionHolder& operator=(const ConnectionHolder&) = delete;

    // Lets the process close its connections and exit; its exit status.
    int finish() {
        if (release_ >= 0) ::close(release_);
        release_ = -1;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
};

int holdConnections(const std::string& dbPath, int count) {
    std::vector<Database> open;
    for (int i = 0; i < count; ++i) open.push_back(DBEngine().Workspaces(0).OpenDatabase(dbPath));
    if (std::fputs("ready\n", stdout) < 0 || std::fflush(stdout) != 0) return 1;
    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    return 0;
}

// ---- compaction ----------------------------------------------------------------------------

const char* const kWords[] = {
    "customer",  "called",  "about",     "the",     "invoice",   "promised", "to",       "pay",
    "on",        "Friday",  "left",      "message", "with",      "spouse",   "disputes", "late",
    "fee",       "account", "balance",   "moved",   "billing",   "asked",    "for",      "a",
    "copy",      "of",      "statement", "mailed",  "again",     "will",     "call",     "back",
    "after",     "payday",  "no",        "answer",  "voicemail", "full",     "payment",  "plan",
    "set",       "up",      "two",       "parts",   "card",      "declined", "new",      "address",
    "confirmed", "email",   "sent",      "receipt", "manager",   "review",   "credit",   "note"};

// A remark of 200 to 400 characters made of words, different for every seed row.
std::string remarkFor(long s) {
    uint32_t x = static_cast<uint32_t>(s) * 2654435761u + 0x9e3779b9u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    size_t len = 200 + next() % 201;
    std::string r;
    while (r.size() < len) {
        if (!r.empty()) r.push_back(' ');
        r += kWords[next() % std::size(kWords)];
    }
    r.resize(len);
    return r;
}

std::string customerId(long n) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "C%06ld", n);
    return buf;
}

// Seed row s is entered 97 seconds after the one before; doubled rows keep that spacing.
constexpr int64_t kEntrySpacing = 97;

struct QueueSource {
    std::string path;
    long added = 0;
    long deleted = 0;
    long rows() const { return added - deleted; }
};

// The queue table as it looks after a while in use: rows added (seed rows one by one through
// a recordset, the rest by doubling them with INSERT ... SELECT, all in one transaction), then
// the oldest fifth and every tenth of the rest deleted, which leaves whole pages free and
// others part-empty.
QueueSource buildQueueDatabase(const std::string& path, long rows) {
    QueueSource q{path, rows, 0};
    DBEngine().CreateDatabase(path);
    Database db = DBEngine().Workspaces(0).OpenDatabase(path);
    db.Execute(
        "CREATE TABLE tblDTQueue (CustID TEXT(20), LogID LONG, TransType SHORT, Remark MEMO, "
        "EntryDate DATETIME, FollowedUp YESNO)");
    db.Execute("CREATE INDEX idxQueueCustID ON tblDTQueue (CustID)");
    db.Execute("CREATE INDEX idxQueueLogID ON tblDTQueue (LogID)");
    const Date base = Date::fromParts(2023, 1, 2, 8, 0, 0);
    long seeds = std::min(rows, kSeedRows);
    DBEngine().BeginTrans();
    {
        Recordset rs = db.OpenRecordset("tblDTQueue", dbOpenDynaset, dbAppendOnly);
        for (long s = 1; s <= seeds; ++s) {
            rs.AddNew();
            rs.Fields("CustID") = Value(customerId(1 + (s * 7919) % kCustomers));
            rs.Fields("LogID") = Value(static_cast<int32_t>(s));
            rs.Fields("TransType") = Value(static_cast<int16_t>(s % 7));
            rs.Fields("Remark") = Value(remarkFor(s));
            rs.Fields("EntryDate") = Value(Date::fromSeconds(base.seconds() + s * kEntrySpacing));
            rs.Fields("FollowedUp") = Value(s % 3 == 0);
            rs.Update();
        }
    }
    // Each copy's remark is the original turned by one character, so that pages differ.
    for (long have = seeds; have < rows; have *= 2) {
        long take = std::min(have, rows - have);
        db.Execute(
            "INSERT INTO tblDTQueue (CustID, LogID, TransType, Remark, EntryDate, FollowedUp) "
            "SELECT CustID, LogID + " +
                std::to_string(have) +
                ", TransType, Mid(Remark, 2) & Mid(Remark, 1, 1), DateAdd(\"s\", " +
                std::to_string(have * kEntrySpacing) +
                ", EntryDate), FollowedUp FROM tblDTQueue WHERE LogID <= " + std::to_string(take),
            dbFailOnError);
        if (db.RecordsAffected() != take)
            fail("doubling tblDTQueue added " + std::to_string(db.RecordsAffected()) +
                 " rows, expected " + std::to_string(take));
    }
    DBEngine().CommitTrans();

    long oldest = rows / 5;
    long expected = oldest + (rows / 10 - oldest / 10);
    db.Execute("DELETE FROM tblDTQueue WHERE LogID <= " + std::to_string(oldest) +
                   " OR (LogID Mod 10) = 0",
               dbFailOnError);
    if (db.RecordsAffected() != expected)
        fail("deleting from tblDTQueue removed " + std::to_string(db.RecordsAffected()) +
             " rows, expected " + std::to_string(expected));
    q.deleted = expected;

    // Rows must read back as made: a few from the remaining range, copies of copies included.
    for (long id : {oldest + 1, rows / 2 + 1, rows - 1}) {
        if (id % 10 == 0 || id <= oldest || id > rows) continue;
        // Walk back through the doublings to the seed row, counting the turns of the remark.
        long seed = id;
        size_t turns = 0;
        std::vector<long> haves;
        for (long have = seeds; have < rows; have *= 2) haves.push_back(have);
        for (auto it = haves.rbegin(); it != haves.rend(); ++it) {
            if (seed > *it) {
                seed -= *it;
                ++turns;
            }
        }
        std::string remark = remarkFor(seed);
        std::rotate(remark.begin(), remark.begin() + static_cast<long>(turns % remark.size()),
                    remark.end());
        Recordset rs = db.OpenRecordset(
            "SELECT * FROM tblDTQueue WHERE LogID = " + std::to_string(id), dbOpenForwardOnly);
        if (rs.EOF_()) fail("tblDTQueue has no LogID " + std::to_string(id));
        if (rs.Fields("CustID").Value().text() != customerId(1 + (seed * 7919) % kCustomers) ||
            rs.Fields("TransType").Value().toLong() != seed % 7 ||
            rs.Fields("Remark").Value().text() != remark ||
            rs.Fields("EntryDate").Value().toDate() !=
                Date::fromSeconds(base.seconds() + id * kEntrySpacing) ||
            rs.Fields("FollowedUp").Value().toBool() != (seed % 3 == 0))
            fail("tblDTQueue LogID " + std::to_string(id) + " reads back wrong");
    }
    return q;
}

// Reads the whole file so that the runs after it find it in the page cache.
void readThrough(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(sysError("open " + path));
    std::vector<char> buf(1 << 20);
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) > 0) {
    }
    ::close(fd);
    if (n < 0) fail(sysError("read " + path));
}

// Writes back the file system's dirty pages, so that the next run does not pay for the
// writes of the one before.
void writeBack(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail(sysError("open " + dir));
    int rc = ::syncfs(fd);
    ::close(fd);
    if (rc != 0) fail(sysError("syncfs " + dir));
}

// What a compacted copy must be: every row, no free page, no leftover files.
void checkCopy(const QueueSource& q, const std::string& copy, const char* who) {
    if (exists(copy + "-journal")) fail(std::string(who) + " left a journal beside its copy");
    RawDb db(copy, SQLITE_OPEN_READONLY);
    long long rows = db.number("SELECT count(*) FROM tblDTQueue");
    if (rows != q.rows())
        fail(std::string(who) + "'s copy holds " + std::to_string(rows) + " rows, expected " +
             std::to_string(q.rows()));
    long long free = db.number("PRAGMA freelist_count");
    if (free != 0) fail(std::string(who) + "'s copy has " + std::to_string(free) + " free pages");
}

struct Run {
    int round;
    const char* side;
    double seconds;
    double copyMb;
};

double compactWithShell(const Config& cfg, const std::string& source, const std::string& dest) {
    auto t0 = Clock::now();
    int status = runAndWait({cfg.shell, source, "VACUUM INTO " + quoteSql(dest)});
    double s = secondsSince(t0);
    if (status != 0)
        fail(cfg.shell + " VACUUM INTO failed with exit status " + std::to_string(status));
    return s;
}

double compactWithLayer(const std::string& source, const std::string& dest,
                        long* reports = nullptr) {
    CompactOptions options;
    if (reports) options.progress = [reports](uint64_t, uint64_t) { ++*reports; };
    auto t0 = Clock::now();
    DBEngine().CompactDatabase(source, dest, options);
    double s = secondsSince(t0);
    // The exclusive lock's file goes with the lock; a leftover would outlive every user.
    if (exists(lockFileOf(source))) fail("CompactDatabase left " + lockFileOf(source) + " behind");
    return s;
}

// The layer's compaction step by step, as CompactDatabase runs it, each step timed; then
// other ways of copying and checking, for what they would cost.
struct Steps {
    double openProbe = 0, vacuum = 0, check = 0, finish = 0;
    // In place of the layer's steps, on the same files.
    double shellVacuum = 0;  // VACUUM INTO with SQLite's syncs and no memory map, as the shell
    double wholeCheck = 0;   // integrity_check(1) of the whole copy on one connection, mapped
    double quickCheck = 0;   // quick_check(1) of the whole copy, mapped
};

// The layer's check connections: a 64 MB cache and the file memory-mapped.
const char* const kCheckPragmas = "PRAGMA cache_size=-65536; PRAGMA mmap_size=2147418112";

void checkFile(const std::string& path, const std::string& check) {
    RawDb db(path, SQLITE_OPEN_READONLY);
    db.exec(kCheckPragmas);
    std::string result = db.text(check);
    if (result != "ok") fail(check + " of " + path + " says: " + result);
}

double timedCheck(const std::string& path, const std::string& check) {
    auto t0 = Clock::now();
    checkFile(path, check);
    return secondsSince(t0);
}

void syncFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(sysError("open " + path));
    int rc = ::fsync(fd);
    ::close(fd);
    if (rc != 0) fail(sysError("fsync " + path));
}

double timedVacuum(const std::string& source, const std::string& copy, const std::string& dir,
                   const std::string& pragmas) {
    removeFile(copy);
    readThrough(source);
    writeBack(dir);
    auto t0 = Clock::now();
    RawDb src(source, SQLITE_OPEN_READWRITE);
    src.number("SELECT count(*) FROM \"main\".sqlite_master");
    if (!pragmas.empty()) src.exec(pragmas);
    src.exec("VACUUM INTO " + quoteSql(copy));
    return secondsSince(t0);
}

Steps compactionSteps(const std::string& source, const std::string& copy, const std::string& dir) {
    Steps s;
    removeFile(copy);
    readThrough(source);
    writeBack(dir);
    auto t0 = Clock::now();
    {
        RawDb src(source, SQLITE_OPEN_READWRITE);
        src.number("SELECT count(*) FROM \"main\".sqlite_master");
        s.openProbe = secondsSince(t0);
        t0 = Clock::now();
        src.exec("PRAGMA synchronous=OFF; PRAGMA mmap_size=2147418112");
        src.exec("VACUUM INTO " + quoteSql(copy));
    }
    s.vacuum = secondsSince(t0);
    t0 = Clock::now();
    sqlite::CheckDatabase(copy);
    s.check = secondsSince(t0);
    t0 = Clock::now();
    syncFile(copy);
    std::string renamed = copy + ".renamed";
    if (::rename(copy.c_str(), renamed.c_str()) != 0) fail(sysError("rename " + copy));
    writeBack(dir);
    s.finish = secondsSince(t0);
    if (::rename(renamed.c_str(), copy.c_str()) != 0) fail(sysError("rename " + renamed));
    // The copy is still in the page cache, as it is right after VACUUM INTO.
    s.wholeCheck = timedCheck(copy, "PRAGMA integrity_check(1)");
    s.quickCheck = timedCheck(copy, "PRAGMA quick_check(1)");
    s.shellVacuum = timedVacuum(source, copy + ".shell", dir, "");
    removeFile(copy + ".shell");
    return s;
}

bool compaction(const Config& cfg, const ScratchDir& dir) {
    auto t0 = Clock::now();
    QueueSource q = buildQueueDatabase(dir.file("queue.mdb"), cfg.rows);
    double sourceMb = fileMb(q.path);
    long long pages = 0, freePages = 0;
    {
        RawDb db(q.path, SQLITE_OPEN_READONLY);
        pages = db.number("PRAGMA page_count");
        freePages = db.number("PRAGMA freelist_count");
    }
    std::printf(
        "setup: tblDTQueue, %ld rows added and %ld deleted, %.1f MB, %lld pages of which %lld "
        "free (%.1f s)\n",
        q.added, q.deleted, sourceMb, pages, freePages, secondsSince(t0));
    if (!cfg.quick && sourceMb < kMinSourceMb)
        fail("the source database is " + std::to_string(sourceMb) + " MB, less than " +
             std::to_string(kMinSourceMb) + " MB");
    if (freePages == 0) fail("the source database has no free pages to reclaim");

    bool haveShell = ::access(cfg.shell.c_str(), X_OK) == 0;
    if (!haveShell) {
        if (!cfg.quick) fail("no sqlite3 shell at " + cfg.shell + " (use --shell PATH)");
        std::printf("no sqlite3 shell at %s: the layer runs alone\n", cfg.shell.c_str());
    }

    std::vector<Run> runs;
    double bestLayer = 1e300, bestShell = 1e300, bestProgress = 1e300, layerMb = 0, shellMb = 0;
    long reports = 0, progressReports = 0;
    for (int round = 1; round <= cfg.rounds; ++round) {
        // shell, layer, layer with progress; each round starts one further along.
        for (int k = 0; k < 3; ++k) {
            int side = (round - 1 + k) % 3;
            bool shell = side == 0, progress = side == 2;
            if (shell && !haveShell) continue;
            const char* name = shell ? "shell" : progress ? "prog." : "layer";
            std::string copy = dir.file(std::string(name) + "-copy.mdb");
            removeFile(copy);
            readThrough(q.path);
            writeBack(dir.path());
            reports = 0;
            double s = shell ? compactWithShell(cfg, q.path, copy)
                             : compactWithLayer(q.path, copy, progress ? &reports : nullptr);
            double mb = fileMb(copy);
            checkCopy(q, copy, shell ? "the sqlite3 shell" : "CompactDatabase");
            if (progress && reports < 3)
                fail("CompactDatabase reported its progress " + std::to_string(reports) + " times");
            if (progress) progressReports = reports;
            runs.push_back({round, name, s, mb});
            double& best = shell ? bestShell : progress ? bestProgress : bestLayer;
            best = std::min(best, s);
            (shell ? shellMb : layerMb) = mb;
        }
        removeFile(dir.file("shell-copy.mdb"));
        removeFile(dir.file("layer-copy.mdb"));
        removeFile(dir.file("prog.-copy.mdb"));
    }

    std::printf(
        "\nCompaction, wall clock per run (shell: %s SRC \"VACUUM INTO 'DST'\" as a child "
        "process;\nlayer: DBEngine().CompactDatabase; prog.: the same with a progress "
        "callback).\nBefore every run the source is read through and dirty pages are written "
        "back;\nthe order turns by round.\n",
        cfg.shell.c_str());
    std::printf("  %5s  %-5s  %9s  %9s\n", "round", "side", "seconds", "copy");
    for (const Run& r : runs)
        std::printf("  %5d  %-5s  %9.3f  %6.1f MB\n", r.round, r.side, r.seconds, r.copyMb);
    std::printf("  size before %.1f MB, after %.1f MB (layer), %.1f MB (shell)\n", sourceMb,
                layerMb, shellMb);

    bool ok = true;
    if (haveShell) {
        double ratio = bestLayer / bestShell;
        ok = ratio <= kCompactionTargetRatio;
        std::printf("  best: layer %.3f s, shell %.3f s, layer/shell %.2fx, target <= %.1fx: %s\n",
                    bestLayer, bestShell, ratio, kCompactionTargetRatio, verdict(ok, !cfg.quick));
    } else {
        std::printf("  best: layer %.3f s\n", bestLayer);
    }
    std::printf("  with progress reporting: best %.3f s, %ld reports, prog./layer %.2fx\n",
                bestProgress, progressReports, bestProgress / bestLayer);

    std::string copy = dir.file("steps-copy.mdb");
    Steps s = compactionSteps(q.path, copy, dir.path());
    checkCopy(q, copy, "the step-by-step compaction");
    removeFile(copy);
    double total = s.openProbe + s.vacuum + s.check + s.finish;
    auto share = [&](double v) { return 100.0 * v / bestLayer; };
    std::printf(
        "\nThe layer's compaction step by step (its SQL on plain SQLite connections, one run):\n");
    auto step = [&](const char* what, double v) {
        std::printf("  %-56s %7.3f s  %5.1f%%\n", what, v, share(v));
    };
    step("open the source, read its header", s.openProbe);
    step("VACUUM INTO, source mapped, no syncs", s.vacuum);
    step("the full check of the copy, two threads", s.check);
    step("fsync of the copy, rename, sync of the folder", s.finish);
    std::printf("  %-56s %7.3f s  %5.1f%%  of the layer's best run\n", "sum", total, share(total));

    // What the layer would take with a step done another way: its best run with the step's
    // time replaced.
    std::printf(
        "\nOther ways of copying and checking, and the layer/shell ratio they would give:\n");
    auto alternative = [&](const char* what, double seconds, double replaces) {
        double estimate = bestLayer - replaces + seconds;
        std::printf("  %-56s %7.3f s", what, seconds);
        if (haveShell) std::printf("  -> %.2fx", estimate / bestShell);
        std::printf("\n");
    };
    alternative("VACUUM INTO as the shell runs it (syncs, no map)", s.shellVacuum, s.vacuum);
    alternative("integrity_check(1) of the whole copy, one thread", s.wholeCheck, s.check);
    alternative("quick_check(1) of the whole copy (no index check)", s.quickCheck, s.check);
    return ok;
}

// ---- roster --------------------------------------------------------------------------------

std::string hostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return std::string(buf).substr(0, 63);  // the lock file keeps 63 characters
}

// Median microseconds of one LDBUser_GetUsers call, checking every answer.
double timeRoster(const std::string& path, int expected, int calls) {
    const std::string host = hostName();
    std::vector<std::string> names;
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(calls));
    for (int i = -calls / 10; i < calls; ++i) {  // the first tenth warms up
        auto t0 = Clock::now();
        int n = LDBUser_GetUsers(names, path, kRosterConnectedUsers);
        double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (n != expected || names.size() != static_cast<size_t>(expected))
            fail("LDBUser_GetUsers returned " + std::to_string(n) + " with " +
                 std::to_string(names.size()) + " names, expected " + std::to_string(expected));
        for (const auto& name : names)
            if (name != host)
                fail("LDBUser_GetUsers lists workstation \"" + name + "\", expected \"" + host +
                     "\"");
        if (i >= 0) micros.push_back(us);
    }
    return median(micros);
}

void roster(const Config& cfg, const ScratchDir& dir) {
    std::string path = dir.file("roster.mdb");
    DBEngine().CreateDatabase(path);
    std::vector<Database> open;
    open.push_back(DBEngine().Workspaces(0).OpenDatabase(path));
    double one = timeRoster(path, 1, cfg.rosterCalls);
    while (open.size() < kConnections) open.push_back(DBEngine().Workspaces(0).OpenDatabase(path));
    double fifty = timeRoster(path, kConnections, cfg.rosterCalls);
    double more;
    {
        ConnectionHolder other(cfg.self, path, kOtherProcessConnections);
        more = timeRoster(path, kConnections + kOtherProcessConnections, cfg.rosterCalls);
        int status = other.finish();
        if (status != 0)
            fail("the process holding connections exited with status " + std::to_string(status));
    }
    // The other process's connections leave the roster with it.
    timeRoster(path, kConnections, 10);
    open.clear();
    std::vector<std::string> names;
    int n = LDBUser_GetUsers(names, path, kRosterConnectedUsers);
    if (n != 0 || !names.empty())
        fail("LDBUser_GetUsers lists " + std::to_string(n) + " connections after all closed");
    if (exists(lockFileOf(path))) fail("the last connection left " + lockFileOf(path) + " behind");

    std::printf("\nRoster: LDBUser_GetUsers(kRosterConnectedUsers), median of %d calls\n",
                cfg.rosterCalls);
    std::printf("  %-46s %9.1f us\n", "1 connection", one);
    std::printf("  %-46s %9.1f us\n",
                (std::to_string(kConnections) + " connections of this process").c_str(), fifty);
    std::printf("  %-46s %9.1f us\n",
                (std::to_string(kConnections) + " + " + std::to_string(kOtherProcessConnections) +
                 " of another process")
                    .c_str(),
                more);
    std::printf("  cost per listed connection %.2f us\n", (fifty - one) / (kConnections - 1));
}

// ---- the run -------------------------------------------------------------------------------

int run(const Config& cfg) {
    ScratchDir dir("platform-bench");
    std::printf("Platform benchmark%s\n\n", cfg.quick ? " (quick)" : "");
    bool ok = true;
    if (cfg.compaction) ok = compaction(cfg, dir) && ok;
    if (cfg.roster) roster(cfg, dir);
    return cfg.quick || ok ? 0 : 1;
}

void printUsage() {
    std::printf(
        "platform_bench [--quick] [--compaction-only | --roster-only] [--shell PATH]\n"
        "  --quick            small database and few calls, fails only on errors\n"
        "  --compaction-only  skip the roster\n"
        "  --roster-only      skip the compaction\n"
        "  --shell PATH       sqlite3 shell to compare with (default /usr/bin/sqlite3)\n");
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    if (argc == 4 && std::strcmp(argv[1], "--hold-connections") == 0) {
        try {
            return holdConnections(argv[2], std::atoi(argv[3]));
        } catch (const JetError& e) {
            std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        }
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            cfg.quick = true;
        } else if (std::strcmp(argv[i], "--compaction-only") == 0) {
            cfg.roster = false;
        } else if (std::strcmp(argv[i], "--roster-only") == 0) {
            cfg.compaction = false;
        } else if (std::strcmp(argv[i], "--shell") == 0 && i + 1 < argc) {
            cfg.shell = argv[++i];
        } else {
            printUsage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 1;
        }
    }
    if (cfg.quick) {
        cfg.rows = 8000;
        cfg.rounds = 1;
        cfg.rosterCalls = 300;
    }
    char self[4096];
    ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        std::fprintf(stderr, "error: cannot find this program through /proc/self/exe\n");
        return 1;
    }
    cfg.self.assign(self, static_cast<size_t>(len));

    return runReportingErrors([&] { return run(cfg); });
}
