// Other programs on a company while its queue is rebuilt: another process runs a queue update
// under the queue-processing lock (as the application server does), and this one meanwhile
// reads a call log by its key, logs on (refused with 3027 by the lock's guard, as it must be)
// and lists the users, each again and again until the update ends. Prints the median and 99th
// percentile of each, the same with no update running, and the update's own time with and
// without the readers.
//
//   readers_bench [--quick] [--customers N]
//     --quick        2,000 customers: a smoke test that fails only on errors
//   readers_bench --writer DT CA SO     (internal: the updating process)
//
// Target: the 99th percentile of the point read and of the logon under 100 ms at 100,000
// customers.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/queue_engine.h"
#include "kelvor/roster.h"

extern char** environ;

using namespace kelvor;
using namespace kelvor::bench;
using kelvor::queueengine::CompanyFiles;
namespace fs = std::filesystem;

namespace {

constexpr double kTargetMs = 100.0;

int writer(const char* dt, const char* ca, const char* so) {
    try {
        Database db = DBEngine().Workspaces(0).OpenDatabase(dt);
        Recordset lock = db.OpenRecordset("tblDtQueueProcLock", dbOpenDynaset, dbDenyWrite);
        queueengine::QueueEngine engine;
        int32_t lErr = 0;
        std::string sError;
        if (!engine.ProcessQueue(dt, ca, so, lErr, sError)) {
            std::fprintf(stderr, "the update failed: %d %s\n", lErr, sError.c_str());
            return 1;
        }
        return 0;
    } catch (const JetError& e) {
        std::fprintf(stderr, "the update failed: %d %s\n", e.number(), e.what());
        return 1;
    }
}

struct Series {
    const char* name;
    std::vector<double> ms;
    double quantile(double q) {
        if (ms.empty()) return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
    }
};

class Readers {
  public:
    explicit Readers(const CompanyFiles& files, int customers)
        : files_(files), customers_(customers) {}

    // One round: a point read, a logon, the user list; each timed.
    void round(bool expectRefusal) {
        time(read_, [&] {
            Database db = DBEngine().Workspaces(0).OpenDatabase(files_.dt);
            int logId = 1 + static_cast<int>(next_++ % static_cast<unsigned>(customers_));
            Recordset rs =
                db.OpenRecordset("SELECT LogID, CustId FROM tblDtCallLogHeader WHERE LogID = " +
                                     std::to_string(logId),
                                 dbOpenForwardOnly);
            if (!rs.EOF_()) rs.Fields("CustId").Value();
        });
        time(logon_, [&] {
            Database db = DBEngine().Workspaces(0).OpenDatabase(files_.dt);
            Recordset rs = db.OpenRecordset("tblDTLogon", dbOpenDynaset, dbAppendOnly);
            try {
                rs.AddNew();
                rs.CancelUpdate();
            } catch (const JetError& e) {
                if (e.number() != err::kReadOnly) throw;
                if (!expectRefusal) fail("a logon was refused with no update running");
                ++refused_;  // the lock's guard: what a logon during an update must get
            }
        });
        time(users_, [&] {
            std::vector<RosterUser> users;
            if (ReadRoster(files_.dt, users) < 0) fail("the roster could not be read");
        });
    }

    void print(const char* when) {
        for (Series* s : {&read_, &logon_, &users_})
            std::printf("  %-34s %-10s median %7.2f ms   p99 %7.2f ms   (%zu samples)\n", when,
                        s->name, s->quantile(0.5), s->quantile(0.99), s->ms.size());
    }
    double p99Read() { return read_.quantile(0.99); }
    double p99Logon() { return logon_.quantile(0.99); }
    size_t samples() const { return read_.ms.size(); }
    int refused() const { return refused_; }

  private:
    const CompanyFiles& files_;
    int customers_;
    unsigned next_ = 0;
    int refused_ = 0;
    Series read_{"point read", {}}, logon_{"logon", {}}, users_{"user list", {}};

    void time(Series& s, const std::function<void()>& f) {
        auto t0 = Clock::now();
        try {
            f();
        } catch (const JetError& e) {
            fail(std::string(s.name) + " failed: " + std::to_string(e.number()) + " " + e.what());
        }
        s.ms.push_back(secondsSince(t0) * 1000.0);
    }
};

pid_t spawnWriter(const CompanyFiles& f) {
    std::string self = fs::read_symlink("/proc/self/exe");
    std::vector<std::string> args{self, "--writer", f.dt, f.ca, f.so};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        fail("cannot start the updating process");
    return pid;
}

bool exited(pid_t pid, bool wait) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, wait ? 0 : WNOHANG);
    if (r == 0) return false;
    if (r < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("the update failed");
    return true;
}

// The update alone, on a fresh copy of the company's DT, in seconds.
double updateAlone(const CompanyFiles& files, const std::string& pristine) {
    fs::copy_file(pristine, files.dt, fs::copy_options::overwrite_existing);
    auto t0 = Clock::now();
    exited(spawnWriter(files), true);
    return secondsSince(t0);
}

int run(int customers, bool quick) {
    ScratchDir dir("kelvor-readers");
    std::printf("readers_bench: %d customers%s\n", customers, quick ? " (quick)" : "");
    CompanyFiles files = queueengine::CreateCompany(dir.file("company"), {customers, 7});
    const std::string pristine = dir.file("DT.pristine");
    fs::copy_file(files.dt, pristine);

    Readers idle(files, customers);
    for (int i = 0; i < (quick ? 20 : 200); ++i) idle.round(false);

    double alone = updateAlone(files, pristine);

    fs::copy_file(pristine, files.dt, fs::copy_options::overwrite_existing);
    Readers busy(files, customers);
    auto t0 = Clock::now();
    pid_t pid = spawnWriter(files);
    // The update holds the lock and has begun writing once the DT file's journal exists.
    const std::string journal = files.dt + "-journal";
    while (!fs::exists(journal)) {
        if (exited(pid, false)) fail("the update ended before it began writing");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    bool done = false;
    while (!done) {
        busy.round(true);
        done = exited(pid, false);
        // Paced like a handful of busy workstations, not a tight loop that starves the update.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double withReaders = secondsSince(t0);

    idle.print("no update running:");
    busy.print("while the update runs:");
    std::printf("  logons refused with 3027 while the update ran: %d of %zu\n", busy.refused(),
                busy.samples());
    std::printf("  the update alone %.2f s, with the readers %.2f s (%.2fx)\n", alone, withReaders,
                withReaders / alone);
    bool met = busy.p99Read() < kTargetMs && busy.p99Logon() < kTargetMs;
    std::printf("  target: p99 of the point read and of the logon under %.0f ms: %s%s\n", kTargetMs,
                met ? "met" : "missed", quick ? " (not enforced in quick mode)" : "");
    if (busy.samples() < 5) std::printf("  (few samples: the update was short)\n");
    return quick || met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--writer") == 0)
        return writer(argv[2], argv[3], argv[4]);
    bool quick = false;
    int customers = 100000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
            customers = 2000;
        } else if (std::strcmp(argv[i], "--customers") == 0 && i + 1 < argc) {
            customers = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: readers_bench [--quick] [--customers N]\n");
            return 2;
        }
    }
    try {
        return run(customers, quick);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "readers_bench: %s\n", e.what());
        return 1;
    }
}
