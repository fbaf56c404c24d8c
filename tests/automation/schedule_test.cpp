// Scheduled queue updates: the unit files `kelvor schedule add` writes (named as systemd-escape
// names, accepted by systemd-analyze verify), the systemctl calls around them, and the command
// the service runs, run as written against a real company with the servers of the build tree.
// The units go to a temporary folder and systemctl is a script that logs its arguments: the
// tests need no running systemd.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "test_util.h"

using kelvor::test::ChildProcess;
using kelvor::test::CommandResult;
using kelvor::test::ReadFile;
using kelvor::test::RunKelvor;
using kelvor::test::TempDir;

namespace fs = std::filesystem;

namespace {

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

CommandResult runShell(const std::string& cmd) {
    TempDir io;
    std::string out = io.file("out"), err = io.file("err");
    int rc = std::system((cmd + " </dev/null >" + out + " 2>" + err).c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
}

// The "error ..." lines of a run's standard error, where the bus daemon logs the servers it
// starts too.
std::string errorLines(const std::string& err) {
    std::istringstream in(err);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("error ", 0) == 0) out += line + "\n";
    return out;
}

// The words of an ExecStart= line as systemd reads them: blanks separate words, double quotes
// group them with \\ and \" inside, and %% and $$ stand for % and $.
std::vector<std::string> execWords(const std::string& unitText) {
    std::smatch m;
    std::string text = unitText;
    if (!std::regex_search(text, m, std::regex("\nExecStart=([^\n]*)"))) return {};
    std::string line = m[1];
    std::vector<std::string> words;
    std::string cur;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (!quoted && c == ' ') {
            if (inWord) words.push_back(cur);
            cur.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && c == '\\' && i + 1 < line.size()) {
            cur.push_back(line[++i]);
        } else if (c == '%' || c == '$') {
            // Alone, systemd would put a specifier's or a variable's value in its place.
            if (i + 1 == line.size() || line[i + 1] != c) return {"unescaped " + line.substr(i)};
            cur.push_back(line[++i]);
        } else {
            cur.push_back(c);
        }
    }
    if (inWord) words.push_back(cur);
    return words;
}

class ScheduleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        units = dir.file("units");
        log = dir.file("systemctl.log");
        fake = dir.file("systemctl");
        std::ofstream(fake) << "#!/bin/sh\necho \"$*\" >> " << shellQuote(log) << "\n";
        fs::permissions(fake, fs::perms::owner_all);
        ::setenv("KELVOR_SYSTEMD_DIR", units.c_str(), 1);
        ::setenv("KELVOR_SYSTEMCTL", fake.c_str(), 1);
    }

    // A company in a folder whose name systemd would misread unless quoted and escaped.
    std::string company(const std::string& name = "co 1 %h $HOME \"q\" it's") {
        std::string c = dir.file(name);
        fs::create_directories(c);
        auto r = RunKelvor("create-company " + shellQuote(c) + " --customers 200");
        EXPECT_EQ(r.status, 0) << r.err;
        return c;
    }

    std::string addArgs(const std::string& co) {
        return "schedule add --dt " + shellQuote(co + "/DT.mdb") + " --ca " +
               shellQuote(co + "/CA.mdb") + " --so " + shellQuote(co + "/SO.mdb") +
               " --at 06:00,12:30";
    }

    std::string takeLog() {
        std::string s = ReadFile(log);
        fs::remove(log);
        return s;
    }

    TempDir dir;
    std::string units, log, fake;
};

TEST_F(ScheduleTest, NamesAreSystemdEscapedAndListedAddedAndRemoved) {
    std::string co = company("my-co");
    struct Case {
        std::string nameArg;     // what follows --name ("" for the default)
        std::string escapeArgs;  // systemd-escape's arguments giving the unit's instance
        std::string listed;      // the name `list` shows and `remove` takes
    };
    const Case cases[] = {
        {"morning", "morning", "morning"},
        {"morning-run", "morning-run", "morning-run"},
        {"a b/c.d", "'a b/c.d'", "a b/c.d"},
        {".hidden", ".hidden", ".hidden"},
        {"café", "café", "café"},
        {"", "--path " + shellQuote(co + "/DT.mdb"), co + "/DT.mdb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nameArg);
        auto esc = runShell("systemd-escape " + c.escapeArgs);
        ASSERT_EQ(esc.status, 0) << esc.err;
        std::string unit = "kelvor-update-" + esc.out.substr(0, esc.out.size() - 1);
        std::string nameOpt = c.nameArg.empty() ? "" : " --name " + shellQuote(c.nameArg);

        auto r = RunKelvor(addArgs(co) + nameOpt);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::exists(units + "/" + unit + ".timer"));
        EXPECT_TRUE(fs::exists(units + "/" + unit + ".service"));
        EXPECT_EQ(takeLog(), "--user daemon-reload\n--user enable --now " + unit + ".timer\n");
        EXPECT_EQ(RunKelvor("schedule list").out,
                  c.listed + "\t06:00,12:30\t" + co + "/DT.mdb\t" + unit + ".timer\n");

        r = RunKelvor(addArgs(co) + nameOpt);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("error 58: a schedule named", 0), 0u) << r.err;
        EXPECT_EQ(RunKelvor(addArgs(co) + nameOpt + " --force").status, 0);
        EXPECT_EQ(takeLog(), "--user daemon-reload\n--user enable --now " + unit +
                                 ".timer\n--user restart " + unit + ".timer\n");

        r = RunKelvor("schedule remove " + shellQuote(c.listed));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(takeLog(), "--user disable --now " + unit + ".timer\n--user daemon-reload\n");
        EXPECT_EQ(RunKelvor("schedule list").out, "");
        EXPECT_TRUE(fs::is_empty(units));
    }
}

TEST_F(ScheduleTest, UnitsPassSystemdAnalyzeVerify) {
    std::string co = company();
    // A user manager wants a runtime folder of its own even to verify.
    std::string runtime = dir.file("runtime");
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    for (bool system : {false, true}) {
        SCOPED_TRACE(system ? "--system" : "--user");
        fs::remove_all(units);
        auto r =
            RunKelvor(addArgs(co) + " --name 'x y'" + (system ? " --system --account daemon" : ""));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(takeLog(), system ? "daemon-reload\nenable --now kelvor-update-x\\x20y.timer\n"
                                    : "--user daemon-reload\n--user enable --now "
                                      "kelvor-update-x\\x20y.timer\n");
        std::string timer = units + "/kelvor-update-x\\x20y.timer";
        std::string service = units + "/kelvor-update-x\\x20y.service";
        std::string service_text = ReadFile(service);
        EXPECT_EQ(service_text.find("User=daemon") != std::string::npos, system);
        auto v = runShell(system ? "systemd-analyze verify " + shellQuote(timer)
                                 : "XDG_RUNTIME_DIR=" + shellQuote(runtime) +
                                       " systemd-analyze --user verify " + shellQuote(timer));
        // verify reports faults on its output, even some that leave its status 0.
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.out + v.err, "") << service_text;
        EXPECT_EQ(execWords(service_text),
                  (std::vector<std::string>{KELVOR_TOOL, "session", "--", KELVOR_TOOL, "schedule",
                                            "run", "--dt", co + "/DT.mdb", "--ca", co + "/CA.mdb",
                                            "--so", co + "/SO.mdb"}));
    }
}

TEST_F(ScheduleTest, RefusalsChangeNothing) {
    std::string co = company("co");
    std::string dt = " --dt " + co + "/DT.mdb --ca " + co + "/CA.mdb";
    struct Case {
        std::string args;
        std::string error;  // the start of standard error
    };
    const Case cases[] = {
        {"add" + dt + " --at 6", "error 5: --at takes times of day as HH:MM"},
        {"add" + dt + " --at 24:00", "error 5: --at takes"},
        {"add" + dt + " --at 12:60", "error 5: --at takes"},
        {"add" + dt + " --at 12:5", "error 5: --at takes"},
        {"add" + dt + " --at 06:00,", "error 5: --at takes"},
        {"add" + dt + " --at 06:00,,07:00", "error 5: --at takes"},
        {"add" + dt + " --at ' 6:00'x", "error 5: --at takes"},
        {"add" + dt + " --at ''", "error 5: --at takes"},
        {"add" + dt + " --at 06:00 --name ''", "error 5: a schedule's name may not be empty"},
        {"add" + dt + " --at 06:00 --name 'a\\'", "error 5: a schedule's name may not end"},
        {"add" + dt + " --at 06:00 --name \"$(printf 'a\\nb')\"", "error 5: a schedule's name"},
        {"add" + dt + " --at 06:00 --system", "error 5: usage: kelvor schedule"},
        {"add" + dt + " --at 06:00 --account nobody", "error 5: usage: kelvor schedule"},
        {"add" + dt + " --at 06:00 --system --account no-such-user", "error 5: there is no"},
        {"add --dt " + co + "/XX.mdb --ca " + co + "/CA.mdb --at 06:00",
         "error 3024: Could not find file '" + co + "/XX.mdb'."},
        {"add" + dt + " --at 06:00 --name " + std::string(240, 'n'), "error 5: the schedule's"},
        {"remove nothing", "error 53: there is no schedule named \"nothing\""},
        {"frobnicate", "error 5: usage: kelvor schedule"},
    };
    for (const Case& c : cases) {
        auto r = RunKelvor("schedule " + c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << c.args << "\n" << r.err;
        EXPECT_FALSE(fs::exists(units) && !fs::is_empty(units)) << c.args;
    }
    EXPECT_EQ(takeLog(), "");

    // A systemctl that fails leaves no schedule behind.
    ::setenv("KELVOR_SYSTEMCTL", "false", 1);
    auto r = RunKelvor("schedule add" + dt + " --at 06:00 --name n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error 51: systemctl daemon-reload failed; the schedule was not installed\n");
    EXPECT_TRUE(fs::is_empty(units));
}

// The service's command line, exactly as written, under the clean environment systemd gives a
// service: the update runs through the servers, under the lock, with one outcome line.
TEST_F(ScheduleTest, TheServiceRunsTheUpdateThroughTheServers) {
    std::string co = company();
    std::string dt = co + "/DT.mdb";
    ASSERT_EQ(RunKelvor(addArgs(co) + " --name e2e").status, 0);
    std::vector<std::string> words = execWords(ReadFile(units + "/kelvor-update-e2e.service"));
    ASSERT_GE(words.size(), 8u);
    std::string cmd = "env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=" + shellQuote(dir.path());
    for (const auto& w : words) cmd += " " + shellQuote(w);
    auto query = [&](const std::string& sql) {
        return RunKelvor("sql --json " + shellQuote(dt) + " " + shellQuote(sql)).out;
    };
    ASSERT_EQ(query("SELECT Count(*) AS n FROM tblDTQueue"), "{\"n\":0}\n");
    ASSERT_EQ(query("SELECT LastQueueProc FROM tblDtOptionsSession"), "{\"LastQueueProc\":null}\n");

    auto r = runShell(cmd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("queue update of .*/DT.mdb done in [0-9.]+ s\n")))
        << r.out;
    EXPECT_NE(query("SELECT Count(*) AS n FROM tblDTQueue"), "{\"n\":0}\n");
    EXPECT_NE(query("SELECT LastQueueProc FROM tblDtOptionsSession"), "{\"LastQueueProc\":null}\n");

    // Another user's background update holds the queue-processing lock: refused.
    std::string queue = query("SELECT Count(*) AS n FROM tblDTQueue");
    {
        ChildProcess other({KELVOR_LOCK_HOLDER});
        ASSERT_EQ(other.readLine(), "ready");
        ASSERT_EQ(other.ask("open " + dt), "ok");
        ASSERT_EQ(other.ask("deny tblDtQueueProcLock"), "ok");
        r = runShell(cmd);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(errorLines(r.err),
                  "error 3027: queue update of " + dt +
                      " failed: Kelvor is currently not available. Perhaps the Queue "
                      "Update Process is currently in progress. Please try again later !\n");
    }
    EXPECT_EQ(query("SELECT Count(*) AS n FROM tblDTQueue"), queue);

    // The company's DT database has gone.
    fs::rename(dt, co + "/DT.moved");
    r = runShell(cmd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string line = errorLines(r.err);
    EXPECT_EQ(line.rfind("error 3024: queue update of " + dt + " failed: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << r.err;
}

}  // namespace
