#include "test_util.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelvor::test {

namespace {
// Tests that meet a locked database should not wait the default five seconds.
const int kShortBusyWait = ::setenv("KELVOR_BUSY_TIMEOUT_MS", "300", 0);
}  // namespace

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvor-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Database CreateAndOpen(const std::string& path) {
    DBEngine().CreateDatabase(path);
    return DBEngine().Workspaces(0).OpenDatabase(path);
}

int ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const JetError& e) {
        return e.number();
    }
    return 0;
}

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const JetError& e) {
        return e.description();
    }
    return "";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

CommandResult RunKelvor(const std::string& args, const std::string& input) {
    TempDir io;
    std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
    {
        std::ofstream f(in, std::ios::binary);
        f << input;
    }
    std::string cmd = std::string(KELVOR_TOOL) + " " + args + " <" + in + " >" + out + " 2>" + err;
    int rc = std::system(cmd.c_str());
    CommandResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
}

ChildProcess::~ChildProcess() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0) {
        int status;
        ::waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) ::close(out_);
}

std::string ChildProcess::readLine() {
    for (;;) {
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        char buf[512];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            std::string rest = buffer_;
            buffer_.clear();
            return rest;
        }
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::send(const std::string& line) {
    std::string l = line + "\n";
    return ::write(in_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

std::string ChildProcess::ask(const std::string& line) {
    return send(line) ? readLine() : "";
}

void ChildProcess::kill9() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::unique_ptr<ChildProcess> StartLockHolder(const std::vector<std::string>& env) {
    auto child = std::make_unique<ChildProcess>(std::vector<std::string>{KELVOR_LOCK_HOLDER}, env);
    if (child->readLine() != "ready") throw std::runtime_error("lock holder did not start");
    return child;
}

}  // namespace kelvor::test
