// kelvor copy between files and the private cluster, as a user runs it: a sample company goes to
// the server and back to files, and all three must hold the same records and work alike.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pg/pg_cluster.h"
#include "test_util.h"

extern char** environ;

namespace {

using kelvor::test::RunKelvor;

std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

// kelvor sql --json on a database; the test fails on an error.
std::string sql(const std::string& db, const std::string& statement) {
    auto r = RunKelvor("sql --json " + quoted(db) + " " + quoted(statement));
    EXPECT_EQ(r.status, 0) << db << ": " << statement << ": " << r.err;
    return r.out;
}

// The schemas on the cluster whose names begin with `prefix`.
std::vector<std::string> schemasLike(const std::string& prefix) {
    PGconn* c = PQconnectdb(kelvor::test::ClusterConninfo().c_str());
    std::vector<std::string> out;
    const std::string pattern = prefix + "%";
    const char* params[] = {pattern.c_str()};
    PGresult* r = PQexecParams(c, "SELECT nspname FROM pg_namespace WHERE nspname LIKE $1", 1,
                               nullptr, params, nullptr, nullptr, 0);
    for (int i = 0; i < PQntuples(r); ++i) out.push_back(PQgetvalue(r, i, 0));
    PQclear(r);
    PQfinish(c);
    return out;
}

}  // namespace

TEST(PgCopyTest, CompanyGoesToTheServerAndBackWithTheSameRecordsAndWorksAlike) {
    kelvor::test::TempDir dir;
    const std::string acme = dir.file("acme"), back = dir.file("back");
    ASSERT_EQ(RunKelvor("create-company " + acme + " --customers 200 --seed 11").status, 0);
    auto queue = [](const std::string& d, const std::string& c) {
        auto r = RunKelvor("process-queue --dt " + quoted(d) + " --ca " + quoted(c));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    };
    // A queue first, so that counters have gone past 1 and rows have been deleted; and values
    // each engine keeps its own way in the tables the sample leaves empty.
    queue(acme + "/DT.mdb", acme + "/CA.mdb");
    sql(acme + "/GL.mdb",
        "INSERT INTO tblGlAccount VALUES (\"1000\", \"Caisse \u00e9 \u00dc \u20ac\", -12.3456)");
    sql(acme + "/GL.mdb", "INSERT INTO tblGlAccount (AccountNo) VALUES (\"1000a\")");
    sql(acme + "/SO.mdb",
        "INSERT INTO tblSoOrder (ClientId, OrderDate, Amount) VALUES (\"C000001\", "
        "#12/31/1999 23:59:59#, 0.0001)");

    const std::string server = kelvor::test::NewCompanyPath("copy_acme");
    auto up = RunKelvor("copy --company " + acme + " " + quoted(server));
    ASSERT_EQ(up.status, 0) << up.err;
    EXPECT_EQ(up.out, "DT=" + server + "_dt\nCA=" + server + "_ca\nSO=" + server +
                          "_so\nGL=" + server + "_gl\n");
    auto down = RunKelvor("copy --company " + quoted(server) + " " + back);
    ASSERT_EQ(down.status, 0) << down.err;
    EXPECT_EQ(down.err, "") << "a progress line where no terminal is";

    struct Company {
        std::string dt, ca, so, gl;
    };
    const Company companies[] = {
        {acme + "/DT.mdb", acme + "/CA.mdb", acme + "/SO.mdb", acme + "/GL.mdb"},
        {server + "_dt", server + "_ca", server + "_so", server + "_gl"},
        {back + "/DT.mdb", back + "/CA.mdb", back + "/SO.mdb", back + "/GL.mdb"},
    };
    // Every table's records, in the order of a unique key.
    const struct {
        std::string Company::*db;
        const char* select;
    } tables[] = {
        {&Company::dt, "SELECT * FROM tblDtOptionsSession ORDER BY OptionID"},
        {&Company::dt, "SELECT * FROM tblDTQueue ORDER BY QueueID"},
        {&Company::dt, "SELECT * FROM tblDtQueueHist ORDER BY HistID"},
        {&Company::dt, "SELECT * FROM tblDtCallLogHeader ORDER BY LogID"},
        {&Company::dt, "SELECT * FROM tblDTLogon ORDER BY LogonID"},
        {&Company::dt, "SELECT * FROM tblDtQueueProcLock ORDER BY LockID"},
        {&Company::ca, "SELECT * FROM tblCaClient ORDER BY ClientId"},
        {&Company::ca, "SELECT * FROM tblCaClientHist ORDER BY ClientId"},
        {&Company::so, "SELECT * FROM tblSoOrder ORDER BY OrderID"},
        {&Company::gl, "SELECT * FROM tblGlAccount ORDER BY AccountNo"},
        // A saved query runs, through the links, on each copy's own CA.
        {&Company::dt, "SELECT * FROM qryDtMinFIA2 ORDER BY ClientID"},
    };
    for (const auto& t : tables) {
        SCOPED_TRACE(t.select);
        const std::string original = sql(companies[0].*t.db, t.select);
        EXPECT_EQ(sql(companies[1].*t.db, t.select), original);
        EXPECT_EQ(sql(companies[2].*t.db, t.select), original);
    }

    // Links name the copy's CA, saved queries and the guard are as they were.
    const std::string objects =
        "SELECT Name, Type, Database, ForeignName, SQL FROM MSysObjects ORDER BY Name";
    std::string expected = sql(companies[0].dt, objects);
    const std::string canonicalCa = std::filesystem::canonical(acme + "/CA.mdb").string();
    auto relinked = [&](const std::string& ca) {
        std::string s = expected;
        for (size_t i; (i = s.find(canonicalCa)) != std::string::npos;)
            s.replace(i, canonicalCa.size(), ca);
        return s;
    };
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 5) << expected;
    EXPECT_EQ(sql(companies[1].dt, objects), relinked(server + "_ca"));
    EXPECT_EQ(sql(companies[2].dt, objects),
              relinked(std::filesystem::canonical(back + "/CA.mdb").string()));

    // The same queue update on each gives the same queue, and new records take the counter's
    // next value after the highest copied.
    for (const auto& c : companies) queue(c.dt, c.ca);
    const std::string shown =
        "SELECT QueueID, CustID, LogID, TransType, Remark FROM tblDTQueue "
        "ORDER BY QueueID";
    EXPECT_EQ(sql(companies[1].dt, shown), sql(companies[0].dt, shown));
    EXPECT_EQ(sql(companies[2].dt, shown), sql(companies[0].dt, shown));
    const struct {
        const char *table, *key, *insert;
    } counters[] = {
        {"tblDTQueue", "QueueID", "INSERT INTO tblDTQueue (CustID) VALUES (\"C999999\")"},
        {"tblDtOptionsSession", "OptionID",
         "INSERT INTO tblDtOptionsSession (Chk_OverLimit) VALUES (False)"},
    };
    for (const auto* c : {&companies[1], &companies[2]}) {
        for (const auto& k : counters) {
            SCOPED_TRACE(c->dt + " " + k.table);
            const std::string highest =
                "SELECT Max(" + std::string(k.key) + ") AS M FROM " + k.table;
            auto number = [](const std::string& json) {
                return std::stol(json.substr(json.find(':') + 1));
            };
            const long before = number(sql(c->dt, highest));
            EXPECT_GT(before, 0);
            sql(c->dt, k.insert);
            EXPECT_EQ(number(sql(c->dt, highest)), before + 1);
        }
    }

    // An existing destination is refused and left as it was.
    const std::string before = sql(companies[1].ca, "SELECT * FROM tblCaClient ORDER BY ClientId");
    auto again = RunKelvor("copy --company " + acme + " " + quoted(server));
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "error 3204: Database already exists.\n");
    EXPECT_EQ(sql(companies[1].ca, "SELECT * FROM tblCaClient ORDER BY ClientId"), before);
    const std::string file = kelvor::test::ReadFile(companies[2].dt);
    auto onFile = RunKelvor("copy " + quoted(server + "_dt") + " " + companies[2].dt);
    EXPECT_EQ(onFile.err, "error 3204: Database already exists.\n");
    EXPECT_EQ(kelvor::test::ReadFile(companies[2].dt), file);
}

// Ctrl-C once the copy has begun to make its destination: the program says so, ends by the
// interrupt, and leaves nothing of the copy behind.
TEST(PgCopyTest, InterruptedCopyLeavesNoDestination) {
    kelvor::test::TempDir dir;
    const std::string acme = dir.file("acme");
    ASSERT_EQ(RunKelvor("create-company " + acme + " --customers 200").status, 0);
    const std::string server = kelvor::test::NewCompanyPath("copy_halted");
    const std::string name = server.substr(server.rfind('#') + 1);
    // Held at its second progress report (after the destinations are made) until Ctrl-C.
    const std::string err = dir.file("err");
    const std::string cmd = "KELVOR_TEST_HOLD_PROGRESS=1 exec " + std::string(KELVOR_TOOL) +
                            " copy --company " + acme + " " + quoted(server) + " 2>" + err;
    const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (schemasLike(name + "_gl").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(schemasLike(name + "_").empty()) << "the copy made nothing within a minute";
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(kelvor::test::ReadFile(err), "error 18: User interrupt occurred\n");
    EXPECT_EQ(schemasLike(name + "_"), std::vector<std::string>{});
}
