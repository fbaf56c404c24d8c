// The kelvor command-line program: what scripts read from it.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

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

// How the program answers people: help and version on standard output with status 0; wrong
// usage on standard error as "error 5: ..." with status 1. `out` and `err` are the beginnings
// of what each stream must hold (the other must be empty).
TEST(KelvorMannersTest, HelpVersionAndUsageErrors) {
    const struct {
        const char* args;
        int status;
        const char* out;
        const char* err;
    } cases[] = {
        {"--version", 0, "kelvor " KELVOR_VERSION "\n", ""},
        {"help", 0, "usage: kelvor COMMAND [ARGUMENT...]\n", ""},
        {"--help", 0, "usage: kelvor COMMAND [ARGUMENT...]\n", ""},
        {"--manual-page", 0, ".TH KELVOR 1 ", ""},
        {"help compact", 0, "usage: kelvor compact SOURCE DESTINATION\n\n  Writes a compacted", ""},
        {"compact --help", 0, "usage: kelvor compact SOURCE DESTINATION\n\n", ""},
        {"queue show --dt x.mdb -h", 0, "usage: kelvor queue show --dt PATH [--json]\n\n", ""},
        {"reg -h", 0, "usage: kelvor reg import FILE\n       kelvor reg query KEY [VALUE]\n\n", ""},
        {"", 1, "", "error 5: usage: kelvor COMMAND [ARGUMENT...]"},
        {"--version now", 1, "", "error 5: usage: kelvor --version\n"},
        {"frobnicate", 1, "", "error 5: unknown command 'frobnicate'"},
        {"help frobnicate", 1, "", "error 5: unknown command 'frobnicate'"},
        {"compact only-one.mdb", 1, "", "error 5: usage: kelvor compact SOURCE DESTINATION\n"},
        {"reg query", 1, "", "error 5: usage: kelvor reg import FILE | kelvor reg query KEY"},
        {"queue show --json", 1, "", "error 5: usage: kelvor queue show --dt PATH [--json]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        auto r = RunKelvor(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.substr(0, std::strlen(c.out)), c.out);
        EXPECT_EQ(r.err.substr(0, std::strlen(c.err)), c.err);
        EXPECT_EQ(r.out.empty(), !*c.out) << r.out;
        EXPECT_EQ(r.err.empty(), !*c.err) << r.err;
    }
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

namespace {

std::map<std::string, std::string> filesUnder(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[e.path().string()] = kelvor::test::ReadFile(e.path());
    return files;
}

struct Stopped {
    std::string terminal;  // what the program wrote to its terminal
    int status = 0;        // as waitpid gives it
};

// Runs kelvor ARGS on a terminal of its own, held at its second progress report
// (KELVOR_TEST_HOLD_PROGRESS), presses Ctrl-C once its progress line shows, and waits for its
// end; a program that shows no line within a minute is killed and fails the test.
Stopped pressCtrlCDuring(const std::string& args) {
    Stopped s;
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::setenv("KELVOR_TEST_HOLD_PROGRESS", "1", 1);
        std::string cmd = std::string("exec ") + KELVOR_TOOL + " " + args;
        ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    EXPECT_GT(pid, 0);
    if (pid <= 0) return s;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    bool pressed = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{master, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
            ADD_FAILURE() << "no progress line: " << s.terminal;
            ::kill(pid, SIGKILL);
            break;
        }
        char buf[512];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // the program has ended (EIO once no one holds the terminal)
        s.terminal.append(buf, static_cast<size_t>(n));
        if (!pressed && s.terminal.find("\033[K") != std::string::npos) {
            ::kill(pid, SIGINT);
            pressed = true;
        }
    }
    ::waitpid(pid, &s.status, 0);
    ::close(master);
    return s;
}

}  // namespace

// Ctrl-C in the middle of long work: the progress line was on the terminal, the program ends by
// the interrupt after saying so, and every file is as it was before (no copy, no half-made
// company, the update rolled back).
TEST(KelvorMannersTest, CtrlCStopsLongWorkAndLeavesTheFilesAsTheyWere) {
    TempDir dir;
    const std::string acme = dir.file("acme");
    auto made = RunKelvor("create-company " + acme + " --customers 3000 --seed 5");
    ASSERT_EQ(made.status, 0);
    EXPECT_EQ(made.err, "") << "a progress line where no terminal is";
    const std::string dt = acme + "/DT.mdb", ca = acme + "/CA.mdb";
    const struct {
        const char* label;
        std::string args;
    } cases[] = {
        {"Compacting", "compact " + dt + " " + dir.file("copy.mdb")},
        {"Creating", "create-company " + dir.file("beta") + " --customers 5000"},
        {"Copying", "copy --company " + acme + " " + dir.file("gamma")},
        {"Updating the work queue", "process-queue --dt " + dt + " --ca " + ca},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        auto before = filesUnder(dir.path());
        Stopped s = pressCtrlCDuring(c.args);
        EXPECT_TRUE(WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGINT) << s.status;
        EXPECT_NE(s.terminal.find(std::string("\r") + c.label), std::string::npos) << s.terminal;
        EXPECT_NE(s.terminal.find("error 18: "), std::string::npos) << s.terminal;
        EXPECT_NE(s.terminal.find("User interrupt occurred\r\n"), std::string::npos) << s.terminal;
        auto after = filesUnder(dir.path());
        EXPECT_EQ(after.size(), before.size());
        for (const auto& [path, content] : before) {
            EXPECT_TRUE(after.count(path) && after[path] == content) << path << " changed";
        }
    }
}
