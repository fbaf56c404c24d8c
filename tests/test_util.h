// Helpers shared by the tests: a temporary folder that is removed afterwards, and running the
// kelvor command-line program.
#pragma once

#include <string>

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

// Reads the whole of a file.
std::string ReadFile(const std::string& path);

}  // namespace kelvor::test
