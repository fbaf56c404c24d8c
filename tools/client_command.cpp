// kelvor client: drives KelvorSystemPE.Application over the bus as the front end does.
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>

#include "commands.h"
#include "kelvor/automation.h"
#include "kelvor/error.h"
#include "output.h"

namespace kelvor::tool {

namespace {

using automation::Arg;
using automation::Object;

const char* const kApp = "KelvorSystemPE.Application";

// QtDBus needs an application object; the client makes one for its own use.
QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "kelvor";
    static char* argv[] = {name, nullptr};
    static auto* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
    return *QCoreApplication::instance();
}

std::map<std::string, std::string> flags(const Args& args, size_t from) {
    std::map<std::string, std::string> out;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--async") {
            out[a].push_back('1');
        } else if ((a == "--dt" || a == "--ca" || a == "--so") && i + 1 < args.size()) {
            out[a] = args[++i];
        } else {
            Usage();
        }
    }
    return out;
}

// A "-1" result is a failure: told on standard error as "error NUMBER: DESCRIPTION" too.
int outcome(const std::string& result, int32_t lErr, const std::string& sError) {
    if (!result.empty()) std::cout << result << "\n";
    std::cout.flush();
    if (result.rfind("-1", 0) == 0) {
        PrintError(lErr, sError);
        return 1;
    }
    return 0;
}

std::string call(Object& app, const QString& method, std::vector<Arg> args) {
    return app.CallByName(method, args).toString().toStdString();
}

int updateQueue(const Args& args) {
    auto f = flags(args, 1);
    if (!f.count("--dt") || !f.count("--ca")) Usage();
    qtApp();
    Object app = Object::CreateObject(kApp);
    int32_t lErr = 0;
    std::string sError;
    std::string dt = f["--dt"], ca = f["--ca"], so = f["--so"];
    std::string r = call(app, "Logon", {dt, ca, so, Arg::ByRef(lErr), Arg::ByRef(sError)});
    if (!r.empty()) return outcome(r, lErr, sError);
    bool prompt = false;
    if (!f.count("--async")) {
        r = call(app, "UpdateQueue",
                 {dt, ca, so, Arg::ByRef(lErr), Arg::ByRef(sError), Arg::ByRef(prompt)});
    } else {
        r = call(app, "UpdateQueueAsync",
                 {dt, ca, so, Arg::ByRef(lErr), Arg::ByRef(sError), Arg::ByRef(prompt)});
        bool tty = ::isatty(STDERR_FILENO);  // where the line goes
        QElapsedTimer t;
        t.start();
        const char spin[] = "|/-\\";
        int tick = 0;
        while (r.empty()) {
            r = call(app, "UpdQAsyncStatus", {Arg::ByRef(lErr), Arg::ByRef(sError)});
            if (r != "01") break;
            r.clear();
            if (tty) {
                std::fprintf(stderr, "\rUpdating the work queue %c %llds", spin[tick++ % 4],
                             static_cast<long long>(t.elapsed() / 1000));
                std::fflush(stderr);
            }
            QElapsedTimer wait;
            wait.start();
            while (wait.elapsed() < 200) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                QThread::msleep(10);
            }
        }
        if (tty) std::fprintf(stderr, "\r%40s\r", "");
    }
    int32_t offErr = 0;
    std::string offText;
    call(app, "LogOff", {Arg::ByRef(offErr), Arg::ByRef(offText)});
    return outcome(r, lErr, sError);
}

int users(const Args& args) {
    auto f = flags(args, 1);
    if (!f.count("--dt") || f.count("--async")) Usage();
    qtApp();
    Object app = Object::CreateObject(kApp);
    int32_t lErr = 0;
    std::string sError;
    std::string r =
        call(app, "Logon", {f["--dt"], f["--ca"], f["--so"], Arg::ByRef(lErr), Arg::ByRef(sError)});
    if (!r.empty()) return outcome(r, lErr, sError);
    std::string list = call(app, "ActiveUsersList", {});
    call(app, "LogOff", {Arg::ByRef(lErr), Arg::ByRef(sError)});
    std::cout << list << "\n";
    return 0;
}

// "METHOD ARG..." with arguments in double quotes where they hold blanks.
std::vector<std::string> splitLine(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cur.push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cur.push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
            any = true;
        } else if (c == ' ' || c == '\t') {
            if (any || !cur.empty()) out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur.push_back(c);
        }
    }
    if (any || !cur.empty()) out.push_back(cur);
    return out;
}

int shell() {
    qtApp();
    Object app = Object::CreateObject(kApp);
    std::string line;
    int status = 0;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words = splitLine(line);
        if (words.empty()) continue;
        const std::string& m = words[0];
        auto arg = [&](size_t i) { return i < words.size() ? words[i] : std::string(); };
        int32_t lErr = 0;
        std::string sError;
        bool prompt = false;
        std::string result;
        try {
            if (m == "Logon") {
                result = call(app, "Logon",
                              {arg(1), arg(2), arg(3), Arg::ByRef(lErr), Arg::ByRef(sError)});
            } else if (m == "UpdateQueue" || m == "UpdateQueueAsync") {
                prompt = arg(4) == "true" || arg(4) == "True" || arg(4) == "-1";
                result = call(app, QString::fromStdString(m),
                              {arg(1), arg(2), arg(3), Arg::ByRef(lErr), Arg::ByRef(sError),
                               Arg::ByRef(prompt)});
            } else if (m == "UpdQAsyncStatus" || m == "LogOff") {
                result =
                    call(app, QString::fromStdString(m), {Arg::ByRef(lErr), Arg::ByRef(sError)});
            } else if (m == "ActiveUsersList") {
                result = call(app, "ActiveUsersList", {});
            } else if (m == "About") {
                result = std::to_string(app.CallByName("About", {}).toInt());
            } else if (m == "CallBack") {
                lErr = std::atoi(arg(1).c_str());
                sError = arg(2);
                app.CallByName("CallBack", {Arg::ByRef(lErr), Arg::ByRef(sError)});
            } else {
                throw Error::make(err::kNoSuchMethod);
            }
        } catch (const Error& e) {
            // Answered as the server answers an error it trapped.
            result = ErrorPair::fromException(e).writeTo(lErr, sError).procedureFailure(m);
            status = 1;
        }
        std::cout << "{\"method\":" << JsonString(m) << ",\"result\":" << JsonString(result)
                  << ",\"lErr\":" << lErr << ",\"sError\":" << JsonString(sError) << "}"
                  << std::endl;
    }
    return status;
}

}  // namespace

int Client(const Args& args) {
    if (args.empty()) Usage();
    if (args[0] == "update-queue") return updateQueue(args);
    if (args[0] == "users") return users(args);
    if (args[0] == "about" && args.size() == 1) {
        qtApp();
        Object app = Object::CreateObject(kApp);
        std::cout << app.CallByName("About", {}).toInt() << "\n";
        return 0;
    }
    if (args[0] == "shell" && args.size() == 1) return shell();
    Usage();
}

}  // namespace kelvor::tool
