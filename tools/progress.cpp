#include "progress.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "kelvor/error.h"

namespace kelvor::tool {

namespace {

std::atomic<bool> g_interrupted{false};
// Written by the handler, so that a wait can wake on Ctrl-C whichever thread takes the signal.
int g_wake[2] = {-1, -1};
struct sigaction g_previous;

void onInterrupt(int) {
    g_interrupted.store(true);
    if (g_wake[1] >= 0) {
        char c = 1;
        ssize_t n = ::write(g_wake[1], &c, 1);
        (void)n;
    }
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// For tests: KELVOR_TEST_HOLD_PROGRESS makes the second report wait for Ctrl-C, so that a test
// can interrupt the work at a known point (past its start, with its files in the making)
// without racing it.
void holdForTest() {
    if (!std::getenv("KELVOR_TEST_HOLD_PROGRESS")) return;
    while (!g_interrupted.load()) {
        pollfd p{g_wake[0], POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
    }
}

}  // namespace

Progress::Progress(std::string label)
    : label_(std::move(label)), terminal_(::isatty(STDERR_FILENO) == 1) {
    if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction sa = {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    // Restarted system calls: the work's reads and writes must not fail for the signal. The
    // handler goes after one Ctrl-C, so a second one ends the program.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigaction(SIGINT, &sa, &g_previous);
}

Progress::~Progress() {
    if (!g_interrupted.load()) ::sigaction(SIGINT, &g_previous, nullptr);
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

void Progress::report(const std::function<std::string()>& text) {
    if (++reports_ == 2) holdForTest();
    if (g_interrupted.load()) throw Error::make(err::kUserInterrupt);
    if (!terminal_) return;
    long long now = nowMs();
    if (shown_ && now - lastShown_ < 100) return;
    lastShown_ = now;
    shown_ = true;
    std::string line = "\r" + label_ + ": " + text() + "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

bool Interrupted() {
    return g_interrupted.load();
}

}  // namespace kelvor::tool
