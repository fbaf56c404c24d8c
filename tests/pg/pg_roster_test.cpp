// Who has a schema open and its deny-write table locks, on the private cluster: several real
// connections stand for several machines, an unprivileged role among them.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kelvor/roster.h"
#include "locking/lock_file.h"
#include "pg/locks.h"
#include "pg/pg_cluster.h"
#include "pg/roster.h"
#include "test_util.h"

using kelvor::pg::LockSession;
using namespace kelvor::test;

namespace {

constexpr char kClerk[] = "kelvor_clerk";  // no superuser, no pg_read_all_stats

// A fresh schema that the clerk may use but not create in.
void freshSchema(PGconn* admin, const std::string& schema) {
    Scalar(admin, std::string("DO $$ BEGIN CREATE ROLE ") + kClerk +
                      " LOGIN; EXCEPTION WHEN duplicate_object OR unique_violation THEN NULL; "
                      "END $$");
    Scalar(admin, "DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    Scalar(admin, "CREATE SCHEMA " + schema);
    Scalar(admin, "GRANT USAGE ON SCHEMA " + schema + " TO " + kClerk);
}

// "user@workstation,..." as the roster lists them; "error N" for a negative count.
std::string roster(PGconn* c, const std::string& schema) {
    std::vector<kelvor::locking::RosterEntry> users;
    int n = kelvor::pg::ReadRoster(c, schema, users);
    if (n < 0) return "error " + std::to_string(n);
    std::string out;
    for (const auto& u : users) {
        out += (out.empty() ? "" : ",") + u.user;
        if (u.workstation != kelvor::locking::HostName()) out += "@" + u.workstation;
    }
    return out;
}

bool waitFor(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Ends another client's session as a crash or a lost network would, and returns once its
// backend is gone.
void terminate(PGconn* admin, PGconn* victim) {
    Scalar(admin,
           "SELECT pg_terminate_backend(" + std::to_string(PQbackendPID(victim)) + ", 20000)");
}

}  // namespace

TEST(PgRosterTest, EntriesLiveAndDieWithTheirSessions) {
    const std::string s = "roster_live";
    Conn admin = Connect();
    freshSchema(admin.get(), s);
    Conn watcher = Connect(kClerk);
    EXPECT_EQ(roster(watcher.get(), s), "");  // no roster table yet: nobody
    auto a = LockSession::Connect(admin.get(), s, "Admin");
    Conn b = Connect(kClerk), c = Connect(kClerk);
    auto sb = LockSession::Connect(b.get(), s, "clerk");
    auto sc = LockSession::Connect(c.get(), s, "clerk2");

    // A client on "another machine" that is killed outright, holding a table lock.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            Conn own = Connect(kClerk);
            auto se = LockSession::Connect(own.get(), s, "child");
            se->lockTable("tblDtQueueProcLock");
            if (::write(ready[1], "r", 1) != 1) ::_exit(1);
            for (;;) ::pause();
        } catch (...) {
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1) << "the child could not register";
    ::close(ready[0]);

    // Every role sees every entry, in the order they came, as kelvor users reads them.
    EXPECT_EQ(roster(watcher.get(), s), "Admin,clerk,clerk2,child");
    std::vector<kelvor::RosterUser> users;
    std::string path = "pg:" + kelvor::test::ClusterConninfo() + " user=" + kClerk + "#" + s;
    EXPECT_EQ(kelvor::ReadRoster(path, users), 4);
    std::vector<std::string> names;
    EXPECT_EQ(kelvor::LDBUser_GetUsers(names, path, 2), 4);
    EXPECT_EQ(names, std::vector<std::string>(4, kelvor::locking::HostName()));

    sc.reset();  // leaves
    EXPECT_EQ(roster(watcher.get(), s), "Admin,clerk,child");
    terminate(admin.get(), b.get());  // its backend dies
    EXPECT_TRUE(waitFor([&] { return roster(watcher.get(), s) == "Admin,child"; }))
        << roster(watcher.get(), s);
    EXPECT_EQ(ErrorOf([&] { a->lockTable("tblDtQueueProcLock"); }), 3262);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(waitFor([&] { return roster(watcher.get(), s) == "Admin"; }))
        << roster(watcher.get(), s);
    EXPECT_TRUE(waitFor([&] { return ErrorOf([&] { a->lockTable("tblDtQueueProcLock"); }) == 0; }));
    sb.reset();  // on a connection the server has ended: nothing to release

    // A newcomer tidies the rows of the dead; the listing never needed it.
    Conn d = Connect(kClerk);
    auto sd = LockSession::Connect(d.get(), s, "late");
    EXPECT_EQ(roster(watcher.get(), s), "Admin,late");
    PGresult* rows = PQexec(admin.get(), ("SELECT count(*) FROM " + s + ".msysroster").c_str());
    EXPECT_STREQ(PQgetvalue(rows, 0, 0), "2");
    PQclear(rows);
    // Opened inside a transaction: listed once that commits.
    Scalar(d.get(), "BEGIN");
    auto si = LockSession::Connect(d.get(), s, "inside");
    EXPECT_EQ(roster(watcher.get(), s), "Admin,late");
    Scalar(d.get(), "COMMIT");
    EXPECT_EQ(roster(watcher.get(), s), "Admin,late,inside");

    // Schemas that are missing, closed to the role, or have no roster the role may make.
    Scalar(admin.get(), "DROP SCHEMA IF EXISTS roster_closed CASCADE; CREATE SCHEMA roster_closed");
    freshSchema(admin.get(), "roster_bare");
    struct Case {
        const char* schema;
        int connect;  // LockSession::Connect's error
        const char* listed;
        int lock;  // lockTable's error after connecting
    };
    const Case cases[] = {
        {"roster_missing", 3024, "error -1", 0},
        {"roster_closed", 3051, "error -2", 0},
        {"roster_bare", 0, "", 3211},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.schema);
        std::unique_ptr<LockSession> e;
        EXPECT_EQ(ErrorOf([&] { e = LockSession::Connect(d.get(), k.schema, "clerk"); }),
                  k.connect);
        EXPECT_EQ(roster(d.get(), k.schema), k.listed);
        if (e) {
            EXPECT_EQ(ErrorOf([&] { e->lockTable("tblDtQueueProcLock"); }), k.lock);
        }
    }
}

// One table of steps run against lock files and against the server: the same error numbers
// and texts. Sessions 1 and 2 share one PostgreSQL connection, as databases on one server do.
TEST(PgRosterTest, DenyWriteLocksBehaveAsOnLockFiles) {
    enum Op { Lock, Unlock, Check };
    struct Step {
        int who;
        Op op;
        std::vector<std::string> tables;
        int error;
    };
    const std::string q = "tblDtQueueProcLock", logon = "tblDTLogon";
    const std::vector<Step> steps = {
        {0, Lock, {q}, 0},
        {1, Lock, {q}, 3262},
        {1, Lock, {"TBLDTQUEUEPROCLOCK"}, 3262},
        {2, Lock, {q}, 3262},
        {1, Check, {q}, 3027},
        {1, Check, {logon, q}, 3027},  // a table guarded by the lock
        {1, Check, {logon}, 0},
        {0, Check, {logon, q}, 0},  // the holder writes
        {0, Lock, {q}, 0},          // twice, released twice
        {0, Unlock, {q}, 0},
        {1, Lock, {q}, 3262},
        {0, Unlock, {q}, 0},
        {0, Unlock, {q}, 0},  // not held: nothing
        {1, Lock, {q}, 0},
        {2, Lock, {q}, 3262},  // another session on the same connection
        {2, Check, {q}, 3027},
        {1, Check, {q}, 0},
        {0, Lock, {q}, 3262},
        {2, Lock, {logon}, 0},
        {1, Check, {logon}, 3027},
        {0, Check, {"tblDtQueue"}, 0},
        {1, Unlock, {q}, 0},
        {0, Lock, {q}, 0},
    };
    struct Engine {
        std::function<void(int, const std::string&)> lock, unlock;
        std::function<void(int, const std::vector<std::string>&)> check;
    };
    const char* users[] = {"Admin", "clerk", "clerk"};

    auto dir =
        std::filesystem::temp_directory_path() / ("kelvor-pg-roster-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string db = (dir / "DT.mdb").string();
    std::ofstream(db) << "";
    std::vector<std::unique_ptr<kelvor::locking::LockFile>> files;
    for (const char* u : users) files.push_back(kelvor::locking::LockFile::Connect(db, u));
    Engine file{[&](int w, const std::string& t) { files[w]->lockTable(t); },
                [&](int w, const std::string& t) { files[w]->unlockTable(t); },
                [&](int w, const std::vector<std::string>& t) { files[w]->checkWritable(t); }};

    const std::string s = "roster_locks";
    Conn admin = Connect();
    freshSchema(admin.get(), s);
    Conn clerk = Connect(kClerk);
    std::vector<std::unique_ptr<LockSession>> sessions;
    sessions.push_back(LockSession::Connect(admin.get(), s, users[0]));
    sessions.push_back(LockSession::Connect(clerk.get(), s, users[1]));
    sessions.push_back(LockSession::Connect(clerk.get(), s, users[2]));
    Engine server{[&](int w, const std::string& t) { sessions[w]->lockTable(t); },
                  [&](int w, const std::string& t) { sessions[w]->unlockTable(t); },
                  [&](int w, const std::vector<std::string>& t) { sessions[w]->checkWritable(t); }};

    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& st = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        std::string said[2];
        int n = 0;
        for (Engine* e : {&file, &server}) {
            int got = ErrorOf(
                [&] {
                    if (st.op == Lock) e->lock(st.who, st.tables[0]);
                    if (st.op == Unlock) e->unlock(st.who, st.tables[0]);
                    if (st.op == Check) e->check(st.who, st.tables);
                },
                &said[n]);
            EXPECT_EQ(got, st.error) << (n ? "server" : "file") << ": " << said[n];
            ++n;
        }
        EXPECT_EQ(said[0], said[1]);
    }
    files.clear();
    std::filesystem::remove_all(dir);
}

// The application server's queue-processing lock: of three machines trying at once, one wins;
// when the winner's session dies the lock is free again.
TEST(PgRosterTest, OneOfThreeTakesTheQueueProcessingLockAndItDiesWithIt) {
    const std::string s = "roster_queue";
    Conn admin = Connect();
    freshSchema(admin.get(), s);
    LockSession::Connect(admin.get(), s, "Admin");  // makes the roster, then leaves
    std::vector<Conn> conns;
    std::vector<std::unique_ptr<LockSession>> sessions;
    for (int i = 0; i < 3; ++i) {
        conns.push_back(Connect(kClerk));
        sessions.push_back(LockSession::Connect(conns.back().get(), s, "pc" + std::to_string(i)));
    }
    std::latch start(3);
    int errors[3] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            errors[i] = ErrorOf([&] { sessions[i]->lockTable("tblDtQueueProcLock"); });
        });
    for (auto& t : threads) t.join();
    int winner = -1, losers = 0;
    for (int i = 0; i < 3; ++i) {
        if (errors[i] == 0) winner = i;
        losers += errors[i] == 3262;
    }
    ASSERT_GE(winner, 0);
    EXPECT_EQ(losers, 2);
    int other = (winner + 1) % 3;
    std::string said;
    EXPECT_EQ(ErrorOf([&] { sessions[other]->lockTable("tblDtQueueProcLock"); }, &said), 3262);
    EXPECT_NE(said.find("'pc" + std::to_string(winner) + "'"), std::string::npos) << said;

    terminate(admin.get(), conns[winner].get());
    EXPECT_TRUE(waitFor(
        [&] { return ErrorOf([&] { sessions[other]->lockTable("tblDtQueueProcLock"); }) == 0; }));
    int third = (other + 1) % 3;
    EXPECT_EQ(ErrorOf([&] { sessions[third]->lockTable("tblDtQueueProcLock"); }), 3262);

    // Released inside a failed transaction: held until that ends, then free.
    PGconn* c = conns[other].get();
    PQclear(PQexec(c, "BEGIN; SELECT 1/0"));
    ASSERT_EQ(PQtransactionStatus(c), PQTRANS_INERROR);
    sessions[other]->unlockTable("tblDtQueueProcLock");
    EXPECT_EQ(ErrorOf([&] { sessions[third]->lockTable("tblDtQueueProcLock"); }), 3262);
    Scalar(c, "ROLLBACK");
    LockSession::AfterTransaction(c);
    EXPECT_EQ(ErrorOf([&] { sessions[third]->lockTable("tblDtQueueProcLock"); }), 0);
}
