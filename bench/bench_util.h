// What the benchmark programs share: failures that are not about timing, a scratch folder,
// clocks, and the process's peak resident size.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

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

}  // namespace kelvor::bench
