// Three workstations on one company kept on the server: each runs its own front end (a
// `kelvor client shell`) with its own application server on its own bus, under a host name of
// its own, and they share nothing but the server. They all see each other logged on, and when
// all three ask for a queue update at once the cross-user lock lets exactly one run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kelvor/dao.h"
#include "pg/pg_cluster.h"
#include "test_util.h"

using namespace kelvor;

namespace {

const std::string kBusy =
    "Another user is performing Queue Processing.\\r\\n\\rPlease try again later !";

struct Answer {
    std::string result;
    int lErr = -1;
};

// A field of the shell's JSON answer: "result" as escaped in JSON, "lErr" as a number.
Answer parse(const std::string& line) {
    Answer a;
    std::smatch m;
    if (std::regex_search(line, m, std::regex("\"result\":\"((?:[^\"\\\\]|\\\\.)*)\"")))
        a.result = m[1];
    if (std::regex_search(line, m, std::regex("\"lErr\":(-?[0-9]+)"))) a.lErr = std::stoi(m[1]);
    return a;
}

class Workstation {
  public:
    Workstation(const std::string& host, const std::string& log)
        : child_(
              {"/usr/bin/unshare", "--uts", "sh", "-c",
               "hostname \"$1\" && exec \"$0\" session -- \"$0\" client shell", KELVOR_TOOL, host},
              {"KELVOR_MESSAGE_LOG=" + log, "QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="}) {}
    Answer ask(const std::string& line) { return parse(child_.ask(line)); }
    void send(const std::string& line) { child_.send(line); }
    Answer answer() { return parse(child_.readLine()); }

  private:
    test::ChildProcess child_;
};

int queueSize(const std::string& dt) {
    Database db = DBEngine().Workspaces(0).OpenDatabase(dt);
    Recordset rs = db.OpenRecordset("SELECT Count(*) AS n FROM tblDTQueue", dbOpenSnapshot);
    return rs.Fields("n").Value().toLong();
}

TEST(PgFrontendsTest, ThreeWorkstationsShareOneCompanyAndOneOfThemUpdatesTheQueue) {
    test::TempDir dir;
    const std::string base = test::NewCompanyPath("frontends");
    auto made = test::RunKelvor("create-company '" + base + "' --customers 300 --seed 3");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string dt = base + "_dt", ca = base + "_ca", so = base + "_so";
    const std::string args = " \"" + dt + "\" \"" + ca + "\" \"" + so + "\"";

    const std::vector<std::string> hosts = {"ws-anna", "ws-boris", "ws-clara"};
    std::vector<std::unique_ptr<Workstation>> ws;
    for (const auto& h : hosts) {
        ws.push_back(std::make_unique<Workstation>(h, dir.file(h + ".log")));
        EXPECT_EQ(ws.back()->ask("Logon" + args).result, "") << h;
    }
    std::vector<std::string> listed;
    for (auto& w : ws) listed.push_back(w->ask("ActiveUsersList").result);
    std::vector<std::string> sorted = hosts;
    std::sort(sorted.begin(), sorted.end());
    for (const auto& l : listed) {
        std::vector<std::string> names;
        for (size_t at = 0; at <= l.size();) {
            size_t semi = std::min(l.find(';', at), l.size());
            names.push_back(l.substr(at, semi - at));
            at = semi + 1;
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, sorted) << l;
    }

    // All three at once: the requests are on their way before any answer is read.
    for (auto& w : ws) w->send("UpdateQueueAsync" + args);
    int winners = 0, refused = 0;
    Workstation* winner = nullptr;
    for (auto& w : ws) {
        Answer a = w->answer();
        if (a.result.empty() && a.lErr == 0) {
            ++winners;
            winner = w.get();
        } else if (a.result == "-1" + kBusy && a.lErr == 1238) {
            ++refused;
        } else {
            ADD_FAILURE() << "unexpected answer: " << a.result << " " << a.lErr;
        }
    }
    ASSERT_EQ(winners, 1);
    EXPECT_EQ(refused, 2);

    // The winner's run ends, and has rebuilt the queue.
    Answer status = winner->ask("UpdQAsyncStatus");
    for (auto t0 = std::chrono::steady_clock::now();
         status.result == "01" && std::chrono::steady_clock::now() - t0 < std::chrono::minutes(2);
         status = winner->ask("UpdQAsyncStatus"))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status.result, "");
    EXPECT_EQ(status.lErr, 0);
    EXPECT_GT(queueSize(dt), 0);
    for (auto& w : ws) EXPECT_EQ(w->ask("LogOff").result, "");
}

}  // namespace
