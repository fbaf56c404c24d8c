#include "application.h"

#include <QDBusConnection>
#include <QMessageBox>
#include <cstdlib>
#include <fstream>

#include "application_adaptor.h"
#include "kelvor/about_box.h"
#include "kelvor/roster.h"

namespace kelvor::appserver {

namespace {

const char* const kNotAvailable =
    "Kelvor is currently not available.\r\nPerhaps the Queue Update Process is currently in "
    "progress.\r\nPlease try again later !";
const char* const kBusy =
    "Another user is performing Queue Processing.\r\n\rPlease try again later !";
const char* const kEngineError = "Error in Queue Engine Object !\r\n";

std::string engineFailure(int32_t lErr, const std::string& sError) {
    return "-1" + std::string(kEngineError) + "[" + std::to_string(lErr) + "] " + sError;
}

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

SessionState& Session() {
    static SessionState s;
    return s;
}

std::string GetActiveUsers(const std::string& path) {
    try {
        std::vector<std::string> names(2);
        int16_t n = LDBUser_GetUsers(names, path, kRosterConnectedUsers);
        if (n < 0) return "-1";
        std::string list;
        std::vector<std::string> seen;
        for (const auto& name : names) {
            if (name.empty()) continue;
            bool dup = false;
            for (const auto& s : seen) dup = dup || s == name;
            if (dup) continue;
            seen.push_back(name);
            if (!list.empty()) list += ";";
            list += name;
        }
        return list;
    } catch (...) {
        return "-1";
    }
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
    if (!forms::HasDisplay()) return;
    QMessageBox box(QMessageBox::Critical, "Kelvor", QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
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
    KELVOR_BY_REF(UpdateQueue(sDTPath.toStdString(), sARPath.toStdString(), sSOPath.toStdString(),
                              e, t, prompt));
}

QString Application::UpdateQueueAsync(const QString& sDTPath, const QString& sARPath,
                                      const QString& sSOPath, int lErr, const QString& sError,
                                      bool prompt, int& lErr_out, QString& sError_out,
                                      bool& prompt_out) {
    prompt_out = prompt;
    KELVOR_BY_REF(UpdateQueueAsync(sDTPath.toStdString(), sARPath.toStdString(),
                                   sSOPath.toStdString(), e, t, prompt));
}

QString Application::UpdQAsyncStatus(int lErr, const QString& sError, int& lErr_out,
                                     QString& sError_out) {
    KELVOR_BY_REF(UpdQAsyncStatus(e, t));
}

QString Application::Logon(const QString& sDTPath, const QString&, const QString&, int lErr,
                           const QString& sError, int& lErr_out, QString& sError_out) {
    KELVOR_BY_REF(Logon(sDTPath.toStdString(), e, t));
}

QString Application::LogOff(int lErr, const QString& sError, int& lErr_out, QString& sError_out) {
    KELVOR_BY_REF(LogOff(e, t));
}

#undef KELVOR_BY_REF

int Application::CallBack(int lErr, const QString& sError, QString& sError_out) {
    sError_out = sError;
    CallBack(static_cast<int32_t>(lErr), sError.toStdString());
    return lErr;
}

QString Application::ActiveUsersList() {
    try {
        std::string list = GetActiveUsers(Session().m_sDTPath);
        return QString::fromStdString(list);
    } catch (...) {
        return QString();
    }
}

void Application::Terminate() {
    ignoringErrors([&] { m_oQueueEngine.Release(); });
    ignoringErrors([&] { m_oCallBackApp.Release(); });
    ignoringErrors([&] {
        // While a background update runs, the shared slot holds its lock: the end of another
        // object (the previous update's call-back object, say) must not drop it and let a
        // second update run at the same time. The update's own end frees it.
        SessionState& s = Session();
        if (s.m_bProcessing) return;
        if (!s.m_oSessionRecordset.isNothing()) s.m_oSessionRecordset.Close();
    });
}

// ---- logon and logoff ----------------------------------------------------------------------

std::string Application::Logon(const std::string& sDTPath, int32_t& lErr, std::string& sError) {
    SessionState& s = Session();
    s.m_sDTPath = sDTPath;
    auto releaseSession = [&] {
        ignoringErrors([&] { s.m_oSessionRecordset = Recordset(); });
        ignoringErrors([&] { s.m_oDatabase = Database(); });
    };
    try {
        if (!s.m_oSessionRecordset.isNothing()) return "";
        s.m_oWorkspace = DBEngine().Workspaces(0);
        s.m_oDatabase = s.m_oWorkspace.OpenDatabase(s.m_sDTPath);
        // From here a failing step leaves its error pending and the next step runs.
        int pending = 0;
        std::string pendingText;
        try {
            s.m_oSessionRecordset =
                s.m_oDatabase.OpenRecordset("tblDTLogon", dbOpenDynaset, dbAppendOnly);
        } catch (const JetError& e) {
            pending = e.number();
            pendingText = e.description();
        }
        try {
            s.m_oSessionRecordset.AddNew();  // 91 when there is no recordset to add to
        } catch (const JetError& e) {
            pending = e.number();
            pendingText = e.description();
        }
        if (pending == err::kReadOnly) {
            lErr = err::kReadOnly;
            sError = kNotAvailable;
            std::string result = "-1" + sError;
            releaseSession();
            return result;
        }
        if (pending != 0) throw JetError(pending, pendingText, "Logon");
        ignoringErrors([&] { s.m_oSessionRecordset.CancelUpdate(dbUpdateRegular); });
        return "";
    } catch (const JetError& e) {
        lErr = e.number();
        sError = e.description();
        std::string result = "-1[Logon][" + std::to_string(lErr) + "] " + sError;
        releaseSession();
        return result;
    }
}

std::string Application::LogOff(int32_t& lErr, std::string& sError) {
    SessionState& s = Session();
    try {
        if (!s.m_oSessionRecordset.isNothing()) s.m_oSessionRecordset = Recordset();
        if (!s.m_oDatabase.isNothing()) s.m_oDatabase = Database();
        lErr = 0;
        sError = "";
        return "";
    } catch (const JetError& e) {
        lErr = e.number();
        sError = e.description();
        ignoringErrors([&] { s.m_oSessionRecordset = Recordset(); });
        ignoringErrors([&] { s.m_oDatabase = Database(); });
        return "-1[LogOff][" + std::to_string(lErr) + "] " + sError;
    }
}

// ---- the queue-processing lock ------------------------------------------------------------

bool Application::LockQueueProcessing() {
    SessionState& s = Session();
    try {
        // The slot is emptied first, as ever (a refused attempt ends the session), but what it
        // held is let go only once the new lock is taken: when that is this server's lock of a
        // running update, the table is never free in between for another server.
        Recordset previous = s.m_oSessionRecordset;
        s.m_oSessionRecordset = Recordset();
        if (s.m_oWorkspace.isNothing()) s.m_oWorkspace = DBEngine().Workspaces(0);
        if (s.m_oDatabase.isNothing()) s.m_oDatabase = s.m_oWorkspace.OpenDatabase(s.m_sDTPath);
        s.m_oSessionRecordset =
            s.m_oDatabase.OpenRecordset("tblDtQueueProcLock", dbOpenDynaset, dbDenyWrite);
        return true;
    } catch (...) {
        return false;
    }
}

bool Application::UnlockQueueProcessing() {
    try {
        Recordset& slot = Session().m_oSessionRecordset;
        if (!slot.isNothing()) slot.Close();
        DBEngine().Idle(dbRefreshCache);
        return true;
    } catch (...) {
        return false;
    }
}

// ---- updates --------------------------------------------------------------------------------

std::string Application::UpdateQueue(const std::string& dt, const std::string& ar,
                                     const std::string& so, int32_t& lErr, std::string& sError,
                                     bool prompt) {
    try {
        automation::Object engine = automation::Object::CreateObject("KelvorQueuePE.QueueEngine");
        int32_t localErr = 0;
        std::string localText;
        bool ok = engine
                      .CallByName("ProcessQueue", {dt, ar, so, automation::Arg::ByRef(localErr),
                                                   automation::Arg::ByRef(localText)})
                      .toBool();
        if (!ok) {
            if (prompt) ShowMessage(kEngineError + std::to_string(localErr) + " - " + localText);
            lErr = localErr;
            sError = localText;
            return engineFailure(lErr, sError);
        }
        return "";
    } catch (const JetError& e) {
        lErr = e.number();
        sError = e.description();
        return "-1[" + std::to_string(lErr) + "] " + sError;
    }
}

void Application::releaseUpdateObjects() {
    ignoringErrors([&] { m_oQueueEngine.Release(); });
    ignoringErrors([&] { m_oCallBackApp.Release(); });
}

void Application::watchEngine() {
    if (!g_engineWatch) {
        g_engineWatch = new QDBusServiceWatcher(automation::Server::instance());
        g_engineWatch->setConnection(QDBusConnection::sessionBus());
        g_engineWatch->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(
            g_engineWatch, &QDBusServiceWatcher::serviceUnregistered, [](const QString&) {
                SessionState& s = Session();
                if (!s.m_bProcessing) return;
                // The engine's process ended without calling back: the update failed.
                s.m_lQueueErr = err::kCantCreateObject;
                s.m_sQueueError =
                    "The queue engine ended before it reported the outcome of the update.";
                s.m_sQueueStatus = engineFailure(s.m_lQueueErr, s.m_sQueueError);
                s.m_bProcessing = false;
                s.m_sCallBackPath.clear();
                ignoringErrors([&] {
                    if (!s.m_oSessionRecordset.isNothing()) s.m_oSessionRecordset.Close();
                });
            });
    }
    g_engineWatch->setWatchedServices({m_oQueueEngine.ref().service});
}

std::string Application::UpdateQueueAsync(const std::string& dt, const std::string& ar,
                                          const std::string& so, int32_t& lErr, std::string& sError,
                                          bool prompt) {
    SessionState& s = Session();
    bool started = false;
    try {
        s.m_bprompt = prompt;
        // From here no earlier update's call-back ends an update: this call waits for the
        // engine below, and serves calls while it waits, among them, perhaps, that call-back.
        s.m_sCallBackPath.clear();
        // An earlier update's objects go before the lock is taken: the end of its call-back
        // object closes what the slot holds, as the end of any object does, and must not close
        // the lock of this update.
        releaseUpdateObjects();
        if (!LockQueueProcessing()) {
            std::string msg = kBusy;
            if (s.m_bprompt) ShowMessage(msg);
            lErr = 1238;
            sError = msg;
            s.m_sQueueStatus = "-1" + msg;
            s.m_bProcessing = false;
            s.m_lQueueErr = 1238;
            s.m_sQueueError = msg;
            return s.m_sQueueStatus;
        }
        m_oQueueEngine = automation::Object::CreateObject("KelvorQueuePE.QueueEngine");
        m_oCallBackApp = automation::Object::CreateObject("KelvorSystemPE.Application");
        s.m_sCallBackPath = m_oCallBackApp.ref().path.path();
        s.m_bProcessing = true;
        started = true;
        s.m_lQueueErr = 0;
        s.m_sQueueError = "";
        s.m_sQueueStatus = "";
        watchEngine();
        int32_t localErr = 0;
        std::string localText;
        bool ok = m_oQueueEngine
                      .CallByName("UpdQueueAsync", {dt, ar, so, automation::Arg(m_oCallBackApp),
                                                    automation::Arg::ByRef(localErr),
                                                    automation::Arg::ByRef(localText)})
                      .toBool();
        if (!ok) {
            if (s.m_bprompt)
                ShowMessage(kEngineError + std::to_string(localErr) + " - " + localText);
            lErr = localErr;
            sError = localText;
            s.m_sQueueStatus = engineFailure(lErr, sError);
            s.m_bProcessing = false;
            s.m_sCallBackPath.clear();
            s.m_lQueueErr = lErr;
            s.m_sQueueError = sError;
            releaseUpdateObjects();
            return s.m_sQueueStatus;  // the lock stays held
        }
        return "";
    } catch (const JetError& e) {
        lErr = e.number();
        sError = e.description();
        std::string result = "-1[UpdateQueueAsync][" + std::to_string(lErr) + "] " + sError;
        releaseUpdateObjects();
        if (started) {
            // The update was marked running: end it as failed, so a poller does not wait for
            // ever, and free the lock.
            s.m_bProcessing = false;
            s.m_sCallBackPath.clear();
            s.m_lQueueErr = lErr;
            s.m_sQueueError = sError;
            s.m_sQueueStatus = result;
            UnlockQueueProcessing();
        }
        return result;
    }
}

void Application::CallBack(int32_t lErr, const std::string& sError) {
    SessionState& s = Session();
    if (path() != s.m_sCallBackPath) return;  // an earlier update's: see SessionState
    s.m_sCallBackPath.clear();
    ignoringErrors([&] {
        s.m_lQueueErr = lErr;
        s.m_sQueueError = sError;
        if (lErr != 0) {
            s.m_sQueueStatus = engineFailure(lErr, sError);
            if (s.m_bprompt) ShowMessage(kEngineError + std::to_string(lErr) + " - " + sError);
        } else {
            s.m_sQueueStatus = "";
        }
    });
    s.m_bProcessing = false;
    UnlockQueueProcessing();
}

std::string Application::UpdQAsyncStatus(int32_t& lErr, std::string& sError) {
    SessionState& s = Session();
    try {
        if (s.m_bProcessing) return "01";
        lErr = s.m_lQueueErr;
        sError = s.m_sQueueError;
        std::string result = s.m_sQueueStatus;
        releaseUpdateObjects();
        return result;
    } catch (const JetError& e) {
        lErr = e.number();
        sError = e.description();
        releaseUpdateObjects();
        return "-1[UpdQAsyncStatus][" + std::to_string(lErr) + "] " + sError;
    }
}

}  // namespace kelvor::appserver
