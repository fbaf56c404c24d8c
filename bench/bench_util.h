// What the benchmark programs share: failures that are not about timing, a scratch folder,
// clocks, CPU time, the process's peak resident size, and how results are summed up and shown.
#pragma once

#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kelvor/jet_error.h"

namespace kelvor::bench {

// A failure that has nothing to do with timing: an error raised, a wrong answer.
class BenchError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& what) {
    throw BenchError(what);
}

// A folder for the database files, removed with its contents.
class ScratchDir {
  public:
    explicit ScratchDir(const char* prefix) {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) fail("cannot create a folder from " + tmpl);
        path_ = buf.data();
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The exit status of a benchmark's `run()`; an error it raises is reported on standard error,
// after what it printed so far, and gives 1.
template <typename Run>
int runReportingErrors(Run run) {
    try {
        return run();
    } catch (const JetError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "error: %s\n", e.what());
    }
    return 1;
}

// User and system time of this process, in seconds.
inline double cpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    auto s = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return s(ru.ru_utime) + s(ru.ru_stime);
}

// A field of /proc/self/status in kB.
inline long statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
    fail(std::string("no ") + key + " in /proc/self/status");
}

// Sets the peak resident size back to the current one.
inline void resetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    if (!out) fail("cannot reset the peak resident size through /proc/self/clear_refs");
}

// Gives back to the system what earlier work freed and resets the peak resident size, so that
// the peak read next is the coming work's; returns the resident size it starts from, in kB.
inline long startPeak() {
    ::malloc_trim(0);
    resetPeak();
    return statusKb("VmRSS:");
}

// kB as MB.
inline double mb(long kb) {
    return static_cast<double>(kb) / 1024.0;
}

// The middle value (the mean of the two middle ones for an even count); 0 for none.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// A target's outcome as the reports say it; a quick run measures too little to hold it.
inline const char* verdict(bool ok, bool enforced) {
    if (!enforced)
        return ok ? "met (not enforced in quick mode)" : "missed (not enforced in quick mode)";
    return ok ? "PASS" : "FAIL";
}

// "12345" as "12,345".
inline std::string grouped(long long n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return n < 0 ? "-" + out : out;
}

// A command-line count: the whole text a number above 0, else 0.
inline long positive(const char* text) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    return end && *end == '\0' && v > 0 ? v : 0;
}

// Fails unless a lookup (the `side`'s, "layer" or "raw") of customer `id` found `want`.
inline void requireLogId(const char* side, const std::string& id, int32_t got, int32_t want) {
    if (got != want)
        fail(std::string(side) + " lookup of " + id + ": LogID " + std::to_string(got) +
             ", expected " + std::to_string(want));
}

// ---- queue updates on sample companies ---------------------------------------------------

// A copy of a company's four databases (`from`, queueengine::CompanyFiles) in the folder `to`,
// which it makes. The copied DT still links the CA database of `from`.
template <typename Files>
Files copyCompany(const Files& from, const std::string& to) {
    std::filesystem::create_directories(to);
    Files f{to + "/DT.mdb", to + "/CA.mdb", to + "/SO.mdb", to + "/GL.mdb"};
    const std::pair<const std::string*, const std::string*> files[] = {
        {&from.dt, &f.dt}, {&from.ca, &f.ca}, {&from.so, &f.so}, {&from.gl, &f.gl}};
    for (const auto& [src, dest] : files) std::filesystem::copy_file(*src, *dest);
    return f;
}

// Runs the queue update of `engine` (a queueengine::QueueEngine) on the company `f`. Fails on
// an error, the message beginning with `what`, and on a success that changed the error pair.
template <typename Engine, typename Files>
void processQueue(Engine& engine, const Files& f, const std::string& what) {
    int32_t lErr = 0;
    std::string sError;
    if (!engine.ProcessQueue(f.dt, f.ca, f.so, lErr, sError))
        fail(what + ": error " + std::to_string(lErr) + ": " + sError);
    if (lErr != 0 || !sError.empty())
        fail("ProcessQueue succeeded but changed the error pair to " + std::to_string(lErr) +
             ", \"" + sError + "\"");
}

// Keeps in `best` the times of the run with the least `by` (wall or CPU time), and the highest
// peak of all runs (a Timing's peakKb) with the size it started from (startKb).
template <typename Timing>
void keepBest(Timing& best, const Timing& t, bool first, double Timing::*by) {
    Timing peak = first || t.peakKb > best.peakKb ? t : best;
    if (first || t.*by < best.*by) best = t;
    best.peakKb = peak.peakKb;
    best.startKb = peak.startKb;
}

// ---- two queue updates' outcomes, compared ----------------------------------------------

// A work-queue entry, as the queue benchmarks compare them.
struct Entry {
    std::string custId;
    int64_t logId = 0;
    int64_t transType = 0;
    std::optional<std::string> remark;
};

// What a queue update leaves behind.
struct Outcome {
    std::vector<Entry> queue;                               // by CustID
    std::map<int64_t, std::optional<std::string>> remarks;  // SystemRemark by LogID
};

// A text in a difference's line: quoted, its line breaks visible; Null as Null.
inline std::string shown(const std::optional<std::string>& text) {
    if (!text) return "Null";
    std::string out = "\"";
    for (char c : *text) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out + "\"";
}

inline std::string shown(const Entry& e) {
    return "TransType " + std::to_string(e.transType) + ", LogID " + std::to_string(e.logId) +
           ", Remark " + shown(e.remark);
}

// How the lines of a comparison name its two sides, a and b.
struct Sides {
    const char* aQueue;      // "the engine's queue"
    const char* bQueue;      // "the set-based queue"
    const char* aLabel;      // "engine:    ", as wide as bLabel
    const char* bLabel;      // "set-based: "
    const char* missingInB;  // "missing in the set-based copy"
};

// Appends a line for each entry of one queue that the other lacks or has otherwise.
inline void queueDifferences(const Outcome& a, const Outcome& b, const Sides& sides,
                             std::vector<std::string>& out) {
    size_t i = 0, j = 0;
    while (i < a.queue.size() || j < b.queue.size()) {
        if (j == b.queue.size() || (i < a.queue.size() && a.queue[i].custId < b.queue[j].custId)) {
            out.push_back(a.queue[i].custId + ": only in " + sides.aQueue + " (" +
                          shown(a.queue[i]) + ")");
            ++i;
        } else if (i == a.queue.size() || b.queue[j].custId < a.queue[i].custId) {
            out.push_back(b.queue[j].custId + ": only in " + sides.bQueue + " (" +
                          shown(b.queue[j]) + ")");
            ++j;
        } else {
            const Entry &x = a.queue[i], &y = b.queue[j];
            if (x.logId != y.logId || x.transType != y.transType || x.remark != y.remark)
                out.push_back(x.custId + ":\n      " + sides.aLabel + shown(x) + "\n      " +
                              sides.bLabel + shown(y));
            ++i;
            ++j;
        }
    }
}

// Appends a line for each call log of a that b lacks or whose system remark differs.
inline void remarkDifferences(const Outcome& a, const Outcome& b, const Sides& sides,
                              std::vector<std::string>& out) {
    for (const auto& [logId, text] : a.remarks) {
        auto it = b.remarks.find(logId);
        if (it == b.remarks.end()) {
            out.push_back("call log " + std::to_string(logId) + ": " + sides.missingInB);
        } else if (it->second != text) {
            out.push_back("call log " + std::to_string(logId) + " SystemRemark:\n      " +
                          sides.aLabel + shown(text) + "\n      " + sides.bLabel +
                          shown(it->second));
        }
    }
}

}  // namespace kelvor::bench
