// Benchmark of `kelvor report` on a large company: the wall time and peak resident size of the
// kelvor program writing the HTML page, and the JSON document, as a user runs it.
//
// The company is made by CreateCompany (as `kelvor create-company` makes it), with 1,000,000
// customers by default. Its queue is filled set-based through the engine layer rather than by a
// queue run, which at this size would take far longer than what is measured: every customer who
// owes anything gets an entry (about three in four), with the reason of his oldest overdue
// balance, a remark of two merged reasons and an entry date spread over 60 days; one entry in
// seven is also in the history as followed up, dated over the last 40 days.
//
// Each form runs three times as its own process; the best time and the largest peak resident
// size (the child's ru_maxrss) count. Targets: under 5 s and under 200 MB.
//
//   report_bench [--quick] [--customers N]
//     --quick   20,000 customers, one run each: a smoke test that fails only on errors
//
// The exit status is 1 on any error and, in the full run, on a missed target.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "bench_util.h"
#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"

using namespace kelvor;
using namespace kelvor::bench;

namespace {

const char* const kOwing =
    "(h.CurAmtDue+h.BalAge1+h.BalAge2+h.BalAge3+h.BalAge4-h.UnapplCredit+h.UnpaidFinch)>0";

void fillQueue(const std::string& dtPath) {
    Database dt = DBEngine().Workspaces(0).OpenDatabase(dtPath);
    dt.Execute(
        std::string("INSERT INTO tblDTQueue (CustID, LogID, TransType, Remark, EntryDate, "
                    "EntryTime, FollowedUp) SELECT h.ClientId, 0, IIf(h.BalAge4>0, 5, "
                    "IIf(h.BalAge3>0, 4, IIf(h.BalAge2>0, 3, IIf(h.BalAge1>0, 2, 1)))), "
                    "\"This Account is 30 days overdue; \" & Chr(13) & Chr(10) & \"This Account "
                    "is Over its Credit Limit.\", DateAdd(\"d\", -(Val(Mid(h.ClientId, 2)) Mod "
                    "60), Date()), Time(), False FROM tblCaClientHist AS h WHERE ") +
            kOwing,
        dbFailOnError);
    dt.Execute(
        "INSERT INTO tblDtQueueHist (CustID, LogID, TransType, Remark, EntryDate, EntryTime, "
        "FollowedUp) SELECT CustID, LogID, TransType, Remark, DateAdd(\"d\", "
        "-(Val(Mid(CustID, 2)) Mod 40), Date()), EntryTime, True FROM tblDTQueue WHERE "
        "Val(Mid(CustID, 2)) Mod 7 = 0",
        dbFailOnError);
}

struct Run {
    double seconds;
    double cpu;  // user and system: what the report costs when the machine is shared
    long peakKb;
};

// One `kelvor report` as its own process.
Run runReport(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KELVOR_TOOL));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto t0 = Clock::now();
    pid_t pid = ::fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        ::execv(KELVOR_TOOL, argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (::wait4(pid, &status, 0, &ru) != pid) fail("wait4 failed");
    double s = secondsSince(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("kelvor report failed");
    double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return {s, cpu, ru.ru_maxrss};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int customers = 1000000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
            customers = 20000;
        } else if (std::strcmp(argv[i], "--customers") == 0 && i + 1 < argc) {
            customers = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: report_bench [--quick] [--customers N]\n");
            return 2;
        }
    }
    try {
        ScratchDir dir("kelvor-report-bench");
        auto t0 = Clock::now();
        queueengine::CompanyFiles f =
            queueengine::CreateCompany(dir.file("company"), {customers, 7});
        fillQueue(f.dt);
        std::printf("company of %d customers made and queued in %.1f s\n", customers,
                    secondsSince(t0));
        std::fflush(stdout);

        bool ok = true;
        int runs = quick ? 1 : 3;
        for (bool json : {false, true}) {
            std::vector<std::string> args = {"report",
                                             "--dt",
                                             f.dt,
                                             "--ca",
                                             f.ca,
                                             "--out",
                                             dir.file(json ? "report.json" : "report.html")};
            if (json) args.push_back("--json");
            Run best{1e9, 1e9, 0};
            for (int r = 0; r < runs; ++r) {
                Run one = runReport(args);
                best.seconds = std::min(best.seconds, one.seconds);
                best.cpu = std::min(best.cpu, one.cpu);
                best.peakKb = std::max(best.peakKb, one.peakKb);
            }
            // A report of an empty queue would be fast for nothing.
            std::string text = ReadFile(args[6]);
            if (text.find("\"entries\":0,") != std::string::npos ||
                text.find("\"entries\":") == std::string::npos)
                fail("the report shows no queue");
            bool fast = best.seconds < 5.0, small = best.peakKb < 200 * 1024;
            std::printf(
                "kelvor report%s: %.2f s (target < 5 s%s; CPU %.2f s), peak %.1f MB (target < "
                "200 MB%s)\n",
                json ? " --json" : "", best.seconds, fast ? "" : ", MISSED", best.cpu,
                static_cast<double>(best.peakKb) / 1024.0, small ? "" : ", MISSED");
            ok = ok && fast && small;
        }
        return quick || ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "report_bench: %s\n", e.what());
        return 1;
    }
}
