#include "application.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <cstdlib>
#include <fstream>

#include "application_adaptor.h"
#include "kelvor/display.h"

namespace kelvor::appserver {

namespace {

template <typename F>
void ignoringErrors(F f) {
    try {
        f();
    } catch (...) {
    }
}

// One watcher for the engine of the running background update: an engine that dies before it
// calls back must not leave the update "running" for ever.
QDBusServiceWatcher* g_engineWatch = nullptr;

}  // namespace

ServerSession& Session() {
    static ServerSession s;
    if (!s.ShowMessage) s.ShowMessage = &ShowMessage;
    return s;
}

void ShowMessage(const std::string& text) {
    // Tests and administrators can have every message written down as well.
    if (const char* log = std::getenv("KELVOR_MESSAGE_LOG"); log && *log) {
        std::string line;
        for (char c : text) {
            if (c == '\r') {
                line += "\\r";
            } else if (c == '\n') {
                line += "\\n";
            } else {
                line.push_back(c);
            }
        }
        std::ofstream(log, std::ios::app) << "Kelvor|critical|" << line << "\n";
    }
    forms::ShowMessageBox("Kelvor", QString::fromStdString(text));
}

Application::Application() {
    new ApplicationAdaptor(this);
}

// ---- on the bus --------------------------------------------------------------------------

short Application::About() {
    return forms::ShowAbout("About Kelvor 4.0 Professional Edition Server",
                            "Kelvor 4.0 Professional Edition Server",
                            &automation::Server::HoldWhileLoaded);
}

#define KELVOR_BY_REF(call)                 \
    int32_t e = lErr;                       \
    std::string t = sError.toStdString();   \
    std::string r = call;                   \
    lErr_out = e;                           \
    sError_out = QString::fromStdString(t); \
    return QString::fromStdString(r)

QString Application::UpdateQueue(const QString& sDTPath, const QString& sARPath,
                                 const QString& sSOPath, int lErr, const QString& sError,
                                 bool prompt, int& lErr_out, QString& sError_out,
                                 bool& prompt_out) {
    prompt_out = prompt;
    KELVOR_BY_REF(Session().UpdateQueue(*this, sDTPath.toStdString(), sARPath.toStdString(),
                                        sSOPath.toStdString(), e, t, prompt));
}

QString Application::UpdateQueueAsync(const QString& sDTPath, const QString& sARPath,
                                      const QString& sSOPath, int lErr, const QString& sError,
                                      bool prompt, int& lErr_out, QString& sError_out,
                                      bool& prompt_out) {
    prompt_out = prompt;
    KELVOR_BY_REF(Session().UpdateQueueAsync(*this, sDTPath.toStdString(), sARPath.toStdString(),
                                             sSOPath.toStdString(), e, t, prompt));
}

QString Application::UpdQAsyncStatus(int lErr, const QString& sError, int& lErr_out,
                                     QString& sError_out) {
    KELVOR_BY_REF(Session().UpdQAsyncStatus(*this, e, t));
}

QString Application::Logon(const QString& sDTPath, const QString&, const QString&, int lErr,
                           const QString& sError, int& lErr_out, QString& sError_out) {
    KELVOR_BY_REF(Session().Logon(sDTPath.toStdString(), e, t));
}

QString Application::LogOff(int lErr, const QString& sError, int& lErr_out, QString& sError_out) {
    KELVOR_BY_REF(Session().LogOff(e, t));
}

#undef KELVOR_BY_REF

int Application::CallBack(int lErr, const QString& sError, QString& sError_out) {
    sError_out = sError;
    Session().CallBack(path().toStdString(), lErr, sError.toStdString());
    return lErr;
}

QString Application::ActiveUsersList() {
    return QString::fromStdString(Session().ActiveUsersList());
}

void Application::Terminate() {
    ReleaseUpdateObjects();
    Session().ObjectEnded();
}

// ---- what the session asks of this object ----------------------------------------------------

bool Application::ProcessQueue(const std::string& dt, const std::string& ar, const std::string& so,
                               int32_t& lErr, std::string& sError) {
    automation::Object engine = automation::Object::CreateObject("KelvorQueuePE.QueueEngine");
    return engine
        .CallByName("ProcessQueue",
                    {dt, ar, so, automation::Arg::ByRef(lErr), automation::Arg::ByRef(sError)})
        .toBool();
}

std::string Application::CreateUpdateObjects() {
    m_oQueueEngine = automation::Object::CreateObject("KelvorQueuePE.QueueEngine");
    m_oCallBackApp = automation::Object::CreateObject("KelvorSystemPE.Application");
    watchEngine();
    return m_oCallBackApp.ref().path.path().toStdString();
}

bool Application::UpdQueueAsync(const std::string& dt, const std::string& ar, const std::string& so,
                                int32_t& lErr, std::string& sError) {
    return m_oQueueEngine
        .CallByName("UpdQueueAsync", {dt, ar, so, automation::Arg(m_oCallBackApp),
                                      automation::Arg::ByRef(lErr), automation::Arg::ByRef(sError)})
        .toBool();
}

void Application::ReleaseUpdateObjects() {
    ignoringErrors([&] { m_oQueueEngine.Release(); });
    ignoringErrors([&] { m_oCallBackApp.Release(); });
}

void Application::watchEngine() {
    if (!g_engineWatch) {
        g_engineWatch = new QDBusServiceWatcher(automation::Server::instance());
        g_engineWatch->setConnection(QDBusConnection::sessionBus());
        g_engineWatch->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(g_engineWatch, &QDBusServiceWatcher::serviceUnregistered,
                         [](const QString&) { Session().EngineEnded(); });
    }
    g_engineWatch->setWatchedServices({m_oQueueEngine.ref().service});
}

}  // namespace kelvor::appserver
