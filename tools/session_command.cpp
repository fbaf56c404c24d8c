// kelvor session -- COMMAND...: runs a command under a private session bus on which the
// Kelvor servers are activatable, from the build tree or from an installation.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "kelvor/error.h"

namespace kelvor::tool {

namespace {

bool isDir(const std::string& p) {
    struct stat sb;
    return ::stat(p.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

// Where the .service files are: $KELVOR_SERVICE_DIR, else beside this program in the build tree
// (build/tools/kelvor -> build/dbus-services), else the installation's share/dbus-1/services.
std::string serviceDir() {
    if (const char* env = std::getenv("KELVOR_SERVICE_DIR"); env && *env) return env;
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    std::string parent = dir.substr(0, dir.rfind('/'));
    for (const std::string& c : {parent + "/dbus-services", parent + "/share/dbus-1/services"}) {
        if (isDir(c)) return c;
    }
    throw Error(err::kCantCreateObject,
                "No folder of Kelvor's D-Bus service files was found beside " + dir + ".");
}

std::string xmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

int Session(const Args& args) {
    size_t start = 0;
    if (!args.empty() && args[0] == "--") start = 1;
    if (start >= args.size()) Usage();

    std::string dir = serviceDir();
    char conf[] = "/tmp/kelvor-bus-XXXXXX";
    int fd = ::mkstemp(conf);
    if (fd < 0) throw Error::make(err::kDiskError);
    ::close(fd);
    {
        std::ofstream out(conf);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:tmpdir=/tmp</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <servicedir>"
            << xmlEscape(dir)
            << "</servicedir>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    std::vector<std::string> argv = {"dbus-run-session", std::string("--config-file=") + conf,
                                     "--"};
    argv.insert(argv.end(), args.begin() + static_cast<long>(start), args.end());
    pid_t pid = ::fork();
    if (pid < 0) {
        ::unlink(conf);
        throw Error::make(err::kOutOfMemory);
    }
    if (pid == 0) {
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        ::execvp(cargv[0], cargv.data());
        std::fprintf(stderr, "error %d: dbus-run-session could not be started\n",
                     err::kCantCreateObject);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    ::unlink(conf);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace kelvor::tool
