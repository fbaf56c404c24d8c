// Helpers shared by the tests: a temporary folder that is removed afterwards, and running the
// kelvor command-line program.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kelvor/dao.h"

namespace kelvor::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Creates an empty database at `path` and opens it in the default workspace.
Database CreateAndOpen(const std::string& path);

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the kelvor program with the given argument string (shell syntax) and optional input.
CommandResult RunKelvor(const std::string& args, const std::string& input = "");

// A program running beside the test, spoken to line by line through its standard input and
// output. The destructor closes its input and waits for it.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Sends one line and returns the next line of output ("" at end of output).
    std::string ask(const std::string& line);
    bool send(const std::string& line);
    std::string readLine();
    void kill9();  // kills the process at once, as a crash would
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// The second-user program of the tests (see lock_holder.cpp), started and past its "ready".
std::unique_ptr<ChildProcess> StartLockHolder(const std::vector<std::string>& env = {});

// The engine error number `f` raises, or 0 when it raises none; and its description.
int ErrorOf(const std::function<void()>& f);
std::string MessageOf(const std::function<void()>& f);

// Reads the whole of a file.
std::string ReadFile(const std::string& path);

}  // namespace kelvor::test
