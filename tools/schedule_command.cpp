// kelvor schedule: queue updates at fixed times of day, as a systemd timer and service per
// schedule, and `schedule run`, the command such a service runs.
//
// A schedule NAME is two unit files, kelvor-update-INSTANCE.timer and .service, INSTANCE being
// NAME escaped as systemd-escape does (a NAME that is a path, as the default, the DT path,
// is, as with systemd-escape --path). The timer's [Unit] section keeps the name, the times and
// the DT path in X- keys, which systemd ignores, for `schedule list`.
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "commands.h"
#include "kelvor/automation.h"
#include "kelvor/error.h"

namespace fs = std::filesystem;

namespace kelvor::tool {

namespace {

const char* const kPrefix = "kelvor-update-";
const size_t kUnitNameMax = 255;  // systemd's limit on a unit's name

[[noreturn]] void invalid(const std::string& text) {
    throw Error(err::kInvalidProcedureCall, text);
}

struct Options {
    std::map<std::string, std::string> values;  // --dt, --ca, --so, --at, --name, --account
    bool system = false, force = false;
    std::vector<std::string> words;  // what is not an option
};

Options parse(const Args& args) {
    Options o;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--system") {
            o.system = true;
        } else if (a == "--force") {
            o.force = true;
        } else if ((a == "--dt" || a == "--ca" || a == "--so" || a == "--at" || a == "--name" ||
                    a == "--account") &&
                   i + 1 < args.size()) {
            o.values[a] = args[++i];
        } else if (a.rfind("--", 0) == 0) {
            Usage();
        } else {
            o.words.push_back(a);
        }
    }
    return o;
}

// ---- names --------------------------------------------------------------------------------

std::string escapeByte(unsigned char c) {
    char b[8];
    std::snprintf(b, sizeof b, "\\x%02x", c);
    return b;
}

// systemd-escape's rules: '/' becomes '-', a leading '.' and every byte but ASCII letters,
// digits, ':', '_' and '.' become \xNN.
std::string escapeString(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == ':' || c == '_' || (c == '.' && i > 0);
        if (c == '/') {
            out.push_back('-');
        } else if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out += escapeByte(c);
        }
    }
    return out;
}

// systemd-escape --path: the path simplified (no empty or "." parts, no trailing '/'), without
// its leading '/', escaped; the root is "-".
std::string escapePath(const std::string& path) {
    std::string simple;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") invalid("a schedule's name may not hold \"..\": " + path);
        if (!simple.empty()) simple.push_back('/');
        simple += part;
    }
    return simple.empty() ? "-" : escapeString(simple);
}

std::string instanceOf(const std::string& name) {
    return name[0] == '/' ? escapePath(name) : escapeString(name);
}

// A name or path goes into a unit file line by line: no control characters, and no backslash
// at its end (which would join the next line to it).
void checkLineText(const std::string& what, const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) invalid(what + " may not hold control characters");
    if (!s.empty() && s.back() == '\\') invalid(what + " may not end with a backslash: " + s);
}

// ---- unit files ---------------------------------------------------------------------------

// One word of an ExecStart= line: in double quotes unless it is plain, with '\' and '"'
// escaped, and '%' (specifiers) and '$' (variables) doubled so that systemd passes them on.
std::string execWord(const std::string& w) {
    bool plain = !w.empty() && std::all_of(w.begin(), w.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string("/._:,+=@-").find(c) != std::string::npos;
    });
    if (plain) return w;
    std::string out = "\"";
    for (char c : w) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '%' || c == '$') {
            out.push_back(c);
            out.push_back(c);
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string specifierSafe(const std::string& s) {
    std::string out;
    for (char c : s) {
        out.push_back(c);
        if (c == '%') out.push_back('%');
    }
    return out;
}

std::string selfPath() {
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) throw Error(err::kInternalError, "the path of the kelvor program is unknown");
    return std::string(exe, static_cast<size_t>(n));
}

// Where the units go: $KELVOR_SYSTEMD_DIR, else /etc/systemd/system for --system, else the
// user's $XDG_CONFIG_HOME/systemd/user (~/.config/systemd/user).
fs::path unitDir(bool system) {
    if (const char* env = std::getenv("KELVOR_SYSTEMD_DIR"); env && *env) return env;
    if (system) return "/etc/systemd/system";
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/')
        return fs::path(x) / "systemd/user";
    const char* home = std::getenv("HOME");
    if (!home || !*home) throw Error(err::kPathFileAccessError, "HOME is not set");
    return fs::path(home) / ".config/systemd/user";
}

// HH:MM, H:MM with hours 0-23, comma-separated, blanks allowed around the commas; returned as
// HH:MM, in order, each once.
std::vector<std::string> parseTimes(const std::string& at) {
    std::vector<std::string> out;
    std::stringstream in(at);
    std::string item;
    auto bad = [&](const std::string& what) {
        invalid("--at takes times of day as HH:MM, separated by commas (\"06:00,12:30\"), not \"" +
                what + "\"");
    };
    while (std::getline(in, item, ',')) {
        size_t b = item.find_first_not_of(' '), e = item.find_last_not_of(' ');
        std::string t = b == std::string::npos ? "" : item.substr(b, e - b + 1);
        size_t colon = t.find(':');
        auto digits = [](const std::string& s) {
            return !s.empty() &&
                   std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        if (colon == std::string::npos || colon < 1 || colon > 2 || t.size() != colon + 3) bad(t);
        std::string h = t.substr(0, colon), m = t.substr(colon + 1);
        if (!digits(h) || !digits(m) || std::stoi(h) > 23 || std::stoi(m) > 59) bad(t);
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02d:%s", std::stoi(h), m.c_str());
        out.push_back(buf);
    }
    if (out.empty() || (!at.empty() && at.back() == ',')) bad(at);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::string joined(const std::vector<std::string>& v, const char* sep) {
    std::string out;
    for (const auto& s : v) out += (out.empty() ? "" : sep) + s;
    return out;
}

std::string absolute(const std::string& what, const std::string& p) {
    std::string a = fs::absolute(p).lexically_normal().string();
    checkLineText(what, a);
    if (!fs::exists(a)) throw Error::make(err::kFileNotFound, a);
    return a;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::path tmp = path;
    tmp += ".kelvor-tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(tmp, ec);
            throw Error(err::kPathFileAccessError, "cannot write " + path.string());
        }
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        throw Error(err::kPathFileAccessError, "cannot write " + path.string());
    }
}

// Runs systemctl ($KELVOR_SYSTEMCTL, so that tests and machines without systemd can stand in
// for it) with its output going to ours; returns its exit status.
int systemctl(bool system, std::vector<std::string> args) {
    const char* env = std::getenv("KELVOR_SYSTEMCTL");
    std::string prog = env && *env ? env : "systemctl";
    if (!system) args.insert(args.begin(), "--user");
    args.insert(args.begin(), prog);
    std::cout.flush();
    pid_t pid = ::fork();
    if (pid < 0) throw Error::make(err::kOutOfMemory);
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "%s could not be started\n", prog.c_str());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

[[noreturn]] void systemctlFailed(const std::vector<std::string>& args, const std::string& then) {
    throw Error(err::kInternalError, "systemctl " + joined(args, " ") + " failed; " + then);
}

std::string shellWord(const std::string& s) {
    if (s.find_first_of("\\ '\"$") == std::string::npos) return s;
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int add(const Options& o) {
    if (!o.words.empty() || !o.values.count("--dt") || !o.values.count("--ca") ||
        !o.values.count("--at") || o.system != (o.values.count("--account") > 0))
        Usage();
    std::vector<std::string> times = parseTimes(o.values.at("--at"));
    std::string dt = absolute("the DT path", o.values.at("--dt"));
    std::string ca = absolute("the CA path", o.values.at("--ca"));
    std::string so = o.values.count("--so") ? absolute("the SO path", o.values.at("--so")) : "";
    std::string name = o.values.count("--name") ? o.values.at("--name") : dt;
    if (name.empty()) invalid("a schedule's name may not be empty");
    checkLineText("a schedule's name", name);
    std::string unit = kPrefix + instanceOf(name);
    if (unit.size() + std::string(".service").size() > kUnitNameMax)
        invalid("the schedule's unit name would be too long for systemd; give a shorter --name");
    std::string account;
    if (o.system) {
        account = o.values.at("--account");
        if (account.empty() || !::getpwnam(account.c_str()))
            invalid("there is no account \"" + account + "\" for --account");
    }

    fs::path dir = unitDir(o.system);
    fs::path timer = dir / (unit + ".timer"), service = dir / (unit + ".service");
    bool replacing = fs::exists(timer) || fs::exists(service);
    if (replacing && !o.force)
        throw Error(err::kFileAlreadyExists, "a schedule named \"" + name + "\" exists (" +
                                                 timer.string() + "); --force replaces it");

    // The update runs on a bus of its own (kelvor session), with its own application server,
    // in both kinds of unit. A system service has no session bus at all. A user's session bus
    // may have the front end's application server on it, whose logon session and background
    // update are one per process: a scheduled run there would end the front end's session at
    // its LogOff, and would take over a background update of the front end's instead of being
    // refused. A server of its own keeps the scheduled run one more user of the databases: the
    // cross-user lock is a deny-write lock on tblDtQueueProcLock in DT's lock file, which holds
    // across processes, buses and machines: while anybody else's background update runs, the
    // scheduled run is refused (at its logon with 3027, or 1238), and while it runs, everyone
    // else's update and logon are.
    std::string self = selfPath();
    std::vector<std::string> cmd = {self,  "session", "--", self,   "schedule",
                                    "run", "--dt",    dt,   "--ca", ca};
    if (!so.empty()) {
        cmd.push_back("--so");
        cmd.push_back(so);
    }
    std::string exec;
    for (const auto& w : cmd) exec += (exec.empty() ? "" : " ") + execWord(w);

    std::string what = "Update of the Kelvor work queue of " + specifierSafe(dt);
    std::ostringstream s;
    s << "[Unit]\n"
      << "Description=" << what
      << (name == dt ? std::string() : " (schedule " + specifierSafe(name) + ")") << "\n";
    if (o.system) {
        // Company databases are often on a file server: wait for it after a boot.
        s << "Wants=network-online.target\n"
          << "After=network-online.target remote-fs.target\n";
    }
    // A oneshot service has no start timeout: a large company's update takes minutes. The
    // outcome line goes to the journal; a failure leaves the service failed.
    s << "\n[Service]\nType=oneshot\n";
    if (o.system) {
        // A service account has no runtime folder of its own; Qt wants one.
        s << "User=" << account << "\n"
          << "RuntimeDirectory=%N\n"
          << "Environment=XDG_RUNTIME_DIR=%t/%N\n";
    }
    s << "ExecStart=" << exec << "\n";

    std::ostringstream t;
    t << "[Unit]\n"
      << "Description=" << what << " at " << joined(times, ", ") << "\n"
      << "X-Kelvor-Name=" << name << "\n"
      << "X-Kelvor-At=" << joined(times, ",") << "\n"
      << "X-Kelvor-DT=" << dt << "\n"
      << "\n[Timer]\n";
    for (const auto& hm : times) t << "OnCalendar=*-*-* " << hm << ":00\n";
    // A time missed while the machine was off (or, for a user timer, while its user manager
    // was not running) is made up for once at the next start.
    t << "Persistent=true\n"
      << "\n[Install]\nWantedBy=timers.target\n";

    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw Error(err::kPathFileAccessError, "cannot create " + dir.string());
    auto removeBoth = [&] {
        fs::remove(timer, ec);
        fs::remove(service, ec);
    };
    try {
        writeFile(service, s.str());
        writeFile(timer, t.str());
    } catch (const Error&) {
        if (!replacing) removeBoth();
        throw;
    }
    // A new schedule that systemctl refuses is taken away again; a replaced one keeps its new
    // files (the old ones are gone), for `systemctl daemon-reload` to take up later.
    auto failed = [&](const std::vector<std::string>& args) {
        if (replacing) systemctlFailed(args, "the schedule's new unit files are in place");
        removeBoth();
        systemctl(o.system, {"daemon-reload"});
        systemctlFailed(args, "the schedule was not installed");
    };
    std::vector<std::string> reload = {"daemon-reload"};
    if (systemctl(o.system, reload) != 0) failed(reload);
    std::vector<std::string> enable = {"enable", "--now", unit + ".timer"};
    if (systemctl(o.system, enable) != 0) failed(enable);
    // A timer that was running already is started afresh, on its new times.
    std::vector<std::string> restart = {"restart", unit + ".timer"};
    if (replacing && systemctl(o.system, restart) != 0) failed(restart);

    std::string scope = o.system ? "" : "--user ";
    std::cout << unit << ".timer: " << joined(times, ", ") << "; outcomes: journalctl " << scope
              << "-u " << shellWord(unit + ".service") << "\n";
    return 0;
}

struct Schedule {
    std::string name, at, dt, unit;
};

std::vector<Schedule> schedules(const fs::path& dir) {
    std::vector<Schedule> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string file = e.path().filename().string();
        if (file.rfind(kPrefix, 0) != 0 || e.path().extension() != ".timer") continue;
        Schedule s;
        s.unit = e.path().stem().string();
        std::ifstream in(e.path());
        std::string line;
        while (std::getline(in, line)) {
            for (auto [key, field] :
                 {std::pair{"X-Kelvor-Name=", &s.name}, std::pair{"X-Kelvor-At=", &s.at},
                  std::pair{"X-Kelvor-DT=", &s.dt}}) {
                if (line.rfind(key, 0) == 0) *field = line.substr(std::strlen(key));
            }
        }
        if (!s.name.empty()) out.push_back(s);
    }
    std::sort(out.begin(), out.end(),
              [](const Schedule& a, const Schedule& b) { return a.name < b.name; });
    return out;
}

int list(const Options& o) {
    if (!o.words.empty() || !o.values.empty() || o.force) Usage();
    for (const auto& s : schedules(unitDir(o.system)))
        std::cout << s.name << "\t" << s.at << "\t" << s.dt << "\t" << s.unit << ".timer\n";
    return 0;
}

int remove(const Options& o) {
    if (o.words.size() != 1 || !o.values.empty() || o.force || o.words[0].empty()) Usage();
    const std::string& name = o.words[0];
    std::string unit = kPrefix + instanceOf(name);
    fs::path dir = unitDir(o.system);
    fs::path timer = dir / (unit + ".timer"), service = dir / (unit + ".service");
    if (!fs::exists(timer) && !fs::exists(service))
        throw Error(err::kRuntimeFileNotFound, "there is no schedule named \"" + name + "\" in " +
                                                   dir.string() + " (kelvor schedule list)");
    // Disabled first: should systemctl fail, the schedule is still whole and still runs.
    std::vector<std::string> disable = {"disable", "--now", unit + ".timer"};
    if (fs::exists(timer) && systemctl(o.system, disable) != 0)
        systemctlFailed(disable, "the schedule stays");
    std::error_code ec;
    fs::remove(timer, ec);
    if (ec) throw Error(err::kPathFileAccessError, "cannot remove " + timer.string());
    fs::remove(service, ec);
    if (ec) throw Error(err::kPathFileAccessError, "cannot remove " + service.string());
    std::vector<std::string> reload = {"daemon-reload"};
    if (systemctl(o.system, reload) != 0)
        systemctlFailed(reload, "the schedule's files are removed");
    return 0;
}

// ---- the scheduled run --------------------------------------------------------------------

std::string squeezed(const std::string& s) {
    std::string out;
    for (char c : s) {
        bool blank = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out.push_back(blank ? ' ' : c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// A background update through the application server, as the front end starts one (so that the
// queue-processing lock is taken), waited for by polling its status. One outcome line: on
// standard output when the queue was rebuilt, as "error NUMBER: ..." on standard error and exit
// status 1 when not.
int run(const Options& o) {
    if (!o.words.empty() || o.system || o.force || !o.values.count("--dt") ||
        !o.values.count("--ca"))
        Usage();
    for (const auto& [k, v] : o.values)
        if (k != "--dt" && k != "--ca" && k != "--so") Usage();
    std::string dt = o.values.at("--dt"), ca = o.values.at("--ca");
    std::string so = o.values.count("--so") ? o.values.at("--so") : "";
    auto started = std::chrono::steady_clock::now();
    int32_t lErr = 0;
    std::string sError, result;
    try {
        static int argc = 1;
        static char name[] = "kelvor";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
        using automation::Arg;
        automation::Object app = automation::Object::CreateObject("KelvorSystemPE.Application");
        auto call = [&](const char* method, std::vector<Arg> args) {
            return app.CallByName(method, args).toString().toStdString();
        };
        bool prompt = false;
        result = call("Logon", {dt, ca, so, Arg::ByRef(lErr), Arg::ByRef(sError)});
        if (result.empty()) {
            result = call("UpdateQueueAsync",
                          {dt, ca, so, Arg::ByRef(lErr), Arg::ByRef(sError), Arg::ByRef(prompt)});
            // "" here means started; then "01" while it runs, and its outcome.
            if (result.empty()) {
                do {
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                    QThread::msleep(200);
                    result = call("UpdQAsyncStatus", {Arg::ByRef(lErr), Arg::ByRef(sError)});
                } while (result == "01");
            }
            int32_t offErr = 0;
            std::string offText;
            call("LogOff", {Arg::ByRef(offErr), Arg::ByRef(offText)});
        }
    } catch (const Error& e) {
        lErr = e.number();
        sError = e.description();
        result = "-1";
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (result.rfind("-1", 0) == 0) {
        PrintError(lErr, "queue update of " + dt + " failed: " + squeezed(sError));
        return 1;
    }
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds);
    std::cout << "queue update of " << dt << " done in " << took << " s\n";
    return 0;
}

}  // namespace

int Schedule(const Args& args) {
    if (args.empty()) Usage();
    Options o = parse(args);
    if (args[0] == "add") return add(o);
    if (args[0] == "list") return list(o);
    if (args[0] == "remove") return remove(o);
    if (args[0] == "run") return run(o);
    Usage();
}

}  // namespace kelvor::tool
