#include "test_util.h"

#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace kelvor::test
