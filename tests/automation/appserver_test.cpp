// The application server served on a real bus, as the front end meets it: sessions, the list of
// connected workstations, synchronous and background queue updates, and the queue-processing
// lock between users. The test process is the first user, with its own KelvorSystemPE on its
// own bus; a second user is a `kelvor client shell` under a bus of its own, so the two users
// share nothing but the database files.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <filesystem>
#include <memory>
#include <sstream>

#include "bus_fixture.h"
#include "kelvor/collection_schema.h"
#include "kelvor/dao.h"
#include "kelvor/queue_engine.h"
#include "kelvor/roster.h"
#include "test_util.h"

using namespace kelvor;
using automation::Arg;
using automation::Object;
using kelvor::test::BusTest;
using kelvor::test::ChildProcess;
using kelvor::test::TempDir;

namespace {

const QString kApp = "KelvorSystemPE.Application";
const QString kEngine = "KelvorQueuePE.QueueEngine";

const std::string kBusy =
    "Another user is performing Queue Processing.\r\n\rPlease try again later !";
const std::string kNotAvailable =
    "Kelvor is currently not available.\r\nPerhaps the Queue Update Process is currently in "
    "progress.\r\nPlease try again later !";
const std::string kEngineError = "Error in Queue Engine Object !\r\n";

// What a caller passes in the error pair, to see whether a call left it alone.
const int32_t kPassedErr = 7;
const std::string kPassedText = "as passed";

// One call's outcome: the result text and the error pair as the call left it.
struct Reply {
    std::string result;
    int32_t lErr = kPassedErr;
    std::string sError = kPassedText;
};

std::ostream& operator<<(std::ostream& os, const Reply& r) {
    return os << "{result=\"" << r.result << "\" lErr=" << r.lErr << " sError=\"" << r.sError
              << "\"}";
}

std::string engineFailure(int32_t lErr, const std::string& sError) {
    return "-1" + kEngineError + "[" + std::to_string(lErr) + "] " + sError;
}

// A message box as the server writes it down in its message log.
std::string logLine(const std::string& text) {
    std::string line = "Kelvor|critical|";
    for (char c : text) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else {
            line.push_back(c);
        }
    }
    return line;
}

std::vector<std::string> logLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(kelvor::test::ReadFile(path));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Serves this process's bus while a poller waits.
void runEvents(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ::usleep(5 * 1000);
    }
}

// The first user: an Application object of the server on this test's own bus.
class Frontend {
  public:
    Frontend() : app_(Object::CreateObject(kApp)) {}

    Reply Logon(const std::string& dt, const std::string& ca = "", const std::string& so = "") {
        Reply r;
        r.result =
            text(app_.CallByName("Logon", {dt, ca, so, Arg::ByRef(r.lErr), Arg::ByRef(r.sError)}));
        return r;
    }
    Reply LogOff() {
        Reply r;
        r.result = text(app_.CallByName("LogOff", {Arg::ByRef(r.lErr), Arg::ByRef(r.sError)}));
        return r;
    }
    Reply UpdateQueue(const queueengine::CompanyFiles& c, bool prompt) {
        return update("UpdateQueue", c, prompt);
    }
    Reply UpdateQueueAsync(const queueengine::CompanyFiles& c, bool prompt) {
        return update("UpdateQueueAsync", c, prompt);
    }
    Reply UpdQAsyncStatus() {
        Reply r;
        r.result =
            text(app_.CallByName("UpdQAsyncStatus", {Arg::ByRef(r.lErr), Arg::ByRef(r.sError)}));
        return r;
    }
    // Polls, as the front end does, until the background update has an outcome.
    Reply Outcome(int ms = 60000) {
        QElapsedTimer t;
        t.start();
        Reply r = UpdQAsyncStatus();
        while (r.result == "01" && t.elapsed() < ms) {
            runEvents(100);
            r = UpdQAsyncStatus();
        }
        return r;
    }
    std::string ActiveUsersList() { return text(app_.CallByName("ActiveUsersList")); }
    void Release() { app_.Release(); }

  private:
    static std::string text(const QVariant& v) { return v.toString().toStdString(); }
    Reply update(const char* method, const queueengine::CompanyFiles& c, bool prompt) {
        Reply r;
        r.result = text(app_.CallByName(method, {c.dt, c.ca, c.so, Arg::ByRef(r.lErr),
                                                 Arg::ByRef(r.sError), Arg::ByRef(prompt)}));
        return r;
    }
    Object app_;
};

// Another user: `kelvor client shell` under a private bus of its own, optionally on a
// workstation of another name.
class OtherUser {
  public:
    explicit OtherUser(const std::string& messageLog, const std::string& hostName = "") {
        std::vector<std::string> argv;
        if (hostName.empty()) {
            argv = {KELVOR_TOOL, "session", "--", KELVOR_TOOL, "client", "shell"};
        } else {
            // A UTS namespace of its own gives it, its bus and its servers another host name.
            argv = {"/usr/bin/unshare",
                    "--uts",
                    "sh",
                    "-c",
                    "hostname \"$1\" && exec \"$0\" session -- \"$0\" client shell",
                    KELVOR_TOOL,
                    hostName};
        }
        // Headless, whatever this process runs under: a box nobody can answer would stop the
        // server for good. The boxes are read from the message log instead.
        child_ = std::make_unique<ChildProcess>(
            argv, std::vector<std::string>{"KELVOR_MESSAGE_LOG=" + messageLog,
                                           "QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="});
    }

    Reply ask(const std::string& line) {
        std::string answer = child_->ask(line);
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(answer)).object();
        Reply r;
        if (o.isEmpty()) {
            r.result = "<no answer to: " + line + "> " + answer;
            return r;
        }
        r.result = o.value("result").toString().toStdString();
        r.lErr = o.value("lErr").toInt();
        r.sError = o.value("sError").toString().toStdString();
        return r;
    }
    Reply Logon(const queueengine::CompanyFiles& c) { return ask("Logon " + args(c)); }
    Reply UpdateQueueAsync(const queueengine::CompanyFiles& c, bool prompt) {
        return ask("UpdateQueueAsync " + args(c) + (prompt ? " true" : ""));
    }
    Reply Outcome(int ms = 60000) {
        QElapsedTimer t;
        t.start();
        Reply r = ask("UpdQAsyncStatus");
        while (r.result == "01" && t.elapsed() < ms) {
            ::usleep(100 * 1000);
            r = ask("UpdQAsyncStatus");
        }
        return r;
    }

  private:
    static std::string q(const std::string& s) { return "\"" + s + "\""; }
    static std::string args(const queueengine::CompanyFiles& c) {
        return q(c.dt) + " " + q(c.ca) + " " + q(c.so);
    }
    std::unique_ptr<ChildProcess> child_;
};

class AppServerTest : public BusTest {
  protected:
    TempDir dir;
    std::string messageLog = dir.file("messages.log");

    // Servers that this test's bus starts from now on run headless and write their message
    // boxes down in the message log; `more` sets further variables of their environment.
    void logMessagesOfThisBus(const QMap<QString, QString>& more = {}) {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        QMap<QString, QString> env;
        env.insert("KELVOR_MESSAGE_LOG", QString::fromStdString(messageLog));
        for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.insert(var, "");
        env.insert(more);
        QDBusMessage m =
            QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "UpdateActivationEnvironment");
        m << QVariant::fromValue(env);
        QDBusMessage reply = automation::Bus().call(m);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    // The queue's size, read in this process.
    static int queueSize(const std::string& dt) {
        Database db = DBEngine().Workspaces(0).OpenDatabase(dt);
        Recordset rs = db.OpenRecordset("SELECT CustID FROM tblDTQueue", dbOpenForwardOnly);
        int n = 0;
        for (; !rs.EOF_(); rs.MoveNext()) ++n;
        return n;
    }

    // The workstations connected to a database, as the roster lists them.
    static std::vector<std::string> connected(const std::string& dt) {
        std::vector<std::string> names;
        LDBUser_GetUsers(names, dt, kRosterConnectedUsers);
        return names;
    }

    // What the engine reports for a run that cannot be done, learnt from an engine in this
    // process.
    static std::pair<int32_t, std::string> engineReport(const queueengine::CompanyFiles& c) {
        queueengine::QueueEngine local;
        int32_t lErr = 0;
        std::string sError;
        EXPECT_FALSE(local.ProcessQueue(c.dt, c.ca, c.so, lErr, sError));
        return {lErr, sError};
    }

    // The process that serves the queue engine on this test's bus.
    static uint enginePid() {
        QDBusReply<uint> pid = automation::Bus().interface()->servicePid(kEngine);
        EXPECT_TRUE(pid.isValid()) << pid.error().message().toStdString();
        return pid.isValid() ? pid.value() : 0;
    }

    static bool processGone(uint pid) {
        std::string stat = kelvor::test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        auto close = stat.rfind(')');
        return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    }

    static std::string hostName() {
        char buf[256] = {};
        ::gethostname(buf, sizeof buf - 1);
        return buf;
    }
};

}  // namespace

TEST_F(AppServerTest, ABackgroundUpdateHoldsTheLockAgainstAnotherUserUntilItEnds) {
    auto c = queueengine::CreateCompany(dir.file("c"), {300, 21});
    ASSERT_EQ(queueSize(c.dt), 0);
    logMessagesOfThisBus();
    const std::string other = "other-ws";
    const std::string here = hostName();
    ASSERT_NE(here, other);

    auto app = std::make_unique<Frontend>();
    // A fresh server has nothing to report, and says so in the error pair too.
    Reply r = app->UpdQAsyncStatus();
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(r.sError, "");

    // Without a Logon there is no database to lock.
    r = app->UpdateQueueAsync(c, false);
    EXPECT_EQ(r.result, "-1" + kBusy);
    EXPECT_EQ(r.lErr, 1238);
    EXPECT_EQ(r.sError, kBusy);
    r = app->UpdQAsyncStatus();
    EXPECT_EQ(r.result, "-1" + kBusy);
    EXPECT_EQ(r.lErr, 1238);

    // Two workstations logged on, and a third connection from this one that is listed once.
    r = app->Logon(c.dt, c.ca, c.so);
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, kPassedErr);
    EXPECT_EQ(r.sError, kPassedText);
    std::string otherLog = dir.file("other.log");
    OtherUser b(otherLog, other);
    EXPECT_EQ(b.Logon(c).result, "");
    Database mine = DBEngine().Workspaces(0).OpenDatabase(c.dt);
    EXPECT_EQ(app->ActiveUsersList(), here + ";" + other);
    EXPECT_EQ(b.ask("ActiveUsersList").result, here + ";" + other);

    // The update starts and the caller is free at once.
    QElapsedTimer t;
    t.start();
    r = app->UpdateQueueAsync(c, false);
    EXPECT_LT(t.elapsed(), 1500);
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, kPassedErr);
    EXPECT_EQ(r.sError, kPassedText);
    r = app->UpdQAsyncStatus();
    EXPECT_EQ(r.result, "01");
    EXPECT_EQ(r.lErr, kPassedErr);
    EXPECT_EQ(r.sError, kPassedText);

    // Meanwhile the other user can neither start an update nor log on.
    r = b.UpdateQueueAsync(c, true);
    EXPECT_EQ(r.result, "-1" + kBusy);
    EXPECT_EQ(r.lErr, 1238);
    EXPECT_EQ(r.sError, kBusy);
    r = b.ask("UpdQAsyncStatus");
    EXPECT_EQ(r.result, "-1" + kBusy);
    EXPECT_EQ(r.lErr, 1238);
    r = b.Logon(c);
    EXPECT_EQ(r.result, "-1" + kNotAvailable);
    EXPECT_EQ(r.lErr, 3027);
    EXPECT_EQ(r.sError, kNotAvailable);
    // The refused logon left no connection behind.
    EXPECT_EQ(app->ActiveUsersList(), here);
    // All of that happened while the update was still running.
    EXPECT_EQ(app->UpdQAsyncStatus().result, "01");

    // The outcome, polled twice; the queue was rebuilt.
    r = app->Outcome();
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(r.sError, "");
    r = app->UpdQAsyncStatus();
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(r.sError, "");
    EXPECT_GT(queueSize(c.dt), 0);

    // The lock is free again: the other user logs on and runs an update of his own.
    EXPECT_EQ(b.Logon(c).result, "");
    EXPECT_EQ(app->ActiveUsersList(), here + ";" + other);
    r = b.UpdateQueueAsync(c, true);
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(b.ask("UpdQAsyncStatus").result, "01");
    r = b.Outcome();
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(r.sError, "");
    EXPECT_EQ(b.ask("LogOff").result, "");
    EXPECT_EQ(app->ActiveUsersList(), here);

    // A box only where the caller asked for one: the other user's refusal.
    EXPECT_EQ(logLines(otherLog), std::vector<std::string>{logLine(kBusy)});
    EXPECT_EQ(logLines(messageLog), std::vector<std::string>{});

    // The server ends with its last object, and the engine is gone already.
    EXPECT_TRUE(hasOwner(kApp));
    app->Release();
    EXPECT_TRUE(waitFor([] { return !hasOwner(kApp) && !hasOwner(kEngine); }, 15000));
}

TEST_F(AppServerTest, EngineFailuresReachTheCallerInTheServersFormAndBoxesOnlyWhenAsked) {
    auto c = queueengine::CreateCompany(dir.file("c"), {300, 22});
    queueengine::CompanyFiles noSO = c;
    noSO.so = dir.file("c/missing-SO.mdb");
    auto [engineErr, engineText] = engineReport(noSO);
    ASSERT_NE(engineErr, 0);
    ASSERT_NE(engineText, "");
    const std::string box = logLine(kEngineError + std::to_string(engineErr) + " - " + engineText);
    logMessagesOfThisBus();
    Frontend app;

    // Synchronous, without a Logon: success leaves the error pair as passed.
    Reply r = app.UpdateQueue(c, false);
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, kPassedErr);
    EXPECT_EQ(r.sError, kPassedText);
    EXPECT_GT(queueSize(c.dt), 0);

    // The engine's failure, once without and once with a box.
    ASSERT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));
    r = app.UpdateQueue(noSO, false);
    EXPECT_EQ(r.result, engineFailure(engineErr, engineText)) << r;
    EXPECT_EQ(r.lErr, engineErr);
    EXPECT_EQ(r.sError, engineText);
    EXPECT_EQ(logLines(messageLog), std::vector<std::string>{});
    ASSERT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));
    r = app.UpdateQueue(noSO, true);
    EXPECT_EQ(r.result, engineFailure(engineErr, engineText)) << r;
    EXPECT_EQ(r.lErr, engineErr);
    EXPECT_EQ(r.sError, engineText);
    EXPECT_EQ(logLines(messageLog), std::vector<std::string>{box});

    // Calls that follow each other at once, as a front end's may: each one gets an engine, also
    // while the process of the one before is ending.
    for (int i = 0; i < 5; ++i) {
        r = app.UpdateQueue(noSO, false);
        EXPECT_EQ(r.result, engineFailure(engineErr, engineText)) << "call " << i << ": " << r;
    }
    EXPECT_EQ(logLines(messageLog), std::vector<std::string>{box});

    // In the background: the engine's error reaches the poller, twice, and frees the lock.
    ASSERT_EQ(app.Logon(c.dt, c.ca, c.so).result, "");
    r = app.UpdateQueueAsync(noSO, false);
    EXPECT_EQ(r.result, "") << r;
    EXPECT_EQ(app.UpdQAsyncStatus().result, "01");
    r = app.Outcome();
    EXPECT_EQ(r.result, engineFailure(engineErr, engineText)) << r;
    EXPECT_EQ(r.lErr, engineErr);
    EXPECT_EQ(r.sError, engineText);
    r = app.UpdQAsyncStatus();
    EXPECT_EQ(r.result, engineFailure(engineErr, engineText)) << r;
    EXPECT_EQ(r.lErr, engineErr);
    EXPECT_EQ(r.sError, engineText);
    OtherUser b(dir.file("other.log"));
    EXPECT_EQ(b.Logon(c).result, "");
    EXPECT_EQ(logLines(messageLog), std::vector<std::string>{box});

    r = app.UpdateQueueAsync(noSO, true);
    EXPECT_EQ(r.result, "") << r;
    uint lastEngine = enginePid();
    r = app.Outcome();
    EXPECT_EQ(r.result, engineFailure(engineErr, engineText)) << r;
    EXPECT_EQ(r.lErr, engineErr);
    EXPECT_EQ(logLines(messageLog), (std::vector<std::string>{box, box}));
    EXPECT_EQ(b.ask("LogOff").result, "");
    EXPECT_EQ(b.Logon(c).result, "");

    // An error trapped in the synchronous update names no method: here the engine's name is
    // held by a connection that serves no objects. The last engine process is gone first, and
    // with it the call-back object it held.
    ASSERT_TRUE(waitFor([&] { return processGone(lastEngine); }, 15000));
    ASSERT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));
    {
        QDBusConnection squatter =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "engine-squatter");
        ASSERT_TRUE(squatter.registerService(kEngine));
        r = app.UpdateQueue(c, true);
        EXPECT_EQ(r.lErr, 429) << r;
        EXPECT_NE(r.sError, "");
        EXPECT_EQ(r.result, "-1[" + std::to_string(r.lErr) + "] " + r.sError);

        // A background update that cannot start says so under its method's name. The lock it
        // took stays with this server until it lets go of its session.
        r = app.UpdateQueueAsync(c, false);
        EXPECT_EQ(r.lErr, 429) << r;
        EXPECT_EQ(r.result, "-1[UpdateQueueAsync][" + std::to_string(r.lErr) + "] " + r.sError);
        EXPECT_NE(app.UpdQAsyncStatus().result, "01");
        EXPECT_EQ(b.ask("LogOff").result, "");
        EXPECT_EQ(b.Logon(c).lErr, 3027);
        EXPECT_EQ(app.LogOff().result, "");
        r = b.Logon(c);
        EXPECT_EQ(r.result, "") << r;
        squatter.unregisterService(kEngine);
    }
    QDBusConnection::disconnectFromBus("engine-squatter");
    ASSERT_TRUE(waitFor([] { return !hasOwner(kEngine); }, 15000));
    r = app.UpdateQueue(c, false);
    EXPECT_EQ(r.result, "") << r;
}

TEST_F(AppServerTest, AnEngineKilledDuringABackgroundUpdateEndsItAsFailedWithTheLockFree) {
    auto c = queueengine::CreateCompany(dir.file("c"), {300, 23});
    Frontend app;
    ASSERT_EQ(app.Logon(c.dt, c.ca, c.so).result, "");
    OtherUser b(dir.file("other.log"));
    ASSERT_EQ(b.Logon(c).result, "");

    ASSERT_EQ(app.UpdateQueueAsync(c, false).result, "");
    ASSERT_EQ(app.UpdQAsyncStatus().result, "01");
    // Within the engine's two-second delay: the engine process of this bus dies.
    uint pid = enginePid();
    ASSERT_NE(pid, 0u);
    std::string comm = kelvor::test::ReadFile("/proc/" + std::to_string(pid) + "/comm");
    ASSERT_EQ(comm.substr(0, comm.find('\n')), "KelvorQueuePE");
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);

    Reply r = app.Outcome(15000);
    EXPECT_EQ(r.result, engineFailure(r.lErr, r.sError)) << r;
    EXPECT_EQ(r.lErr, 429);
    EXPECT_NE(r.sError, "");
    Reply again = app.UpdQAsyncStatus();
    EXPECT_EQ(again.result, r.result);
    EXPECT_EQ(again.lErr, r.lErr);
    EXPECT_EQ(again.sError, r.sError);
    EXPECT_EQ(queueSize(c.dt), 0);

    // The lock is free: the other user runs an update, and then this one does.
    r = b.UpdateQueueAsync(c, false);
    EXPECT_EQ(r.result, "") << r;
    r = b.Outcome();
    EXPECT_EQ(r.result, "") << r;
    EXPECT_GT(queueSize(c.dt), 0);
    r = app.UpdateQueueAsync(c, false);
    EXPECT_EQ(r.result, "") << r;
    r = app.Outcome();
    EXPECT_EQ(r.result, "") << r;
    EXPECT_EQ(r.lErr, 0);
}

TEST_F(AppServerTest, LogonAndLogOffKeepOneSessionPerServer) {
    auto c1 = queueengine::CreateCompany(dir.file("c1"), {100, 24});
    auto c2 = queueengine::CreateCompany(dir.file("c2"), {100, 25});
    const std::string here = hostName();
    Frontend app;

    // No session to end: success, and the error pair cleared.
    Reply r = app.LogOff();
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(r.sError, "");

    // A second Logon keeps the first session but takes the new path for the user list.
    EXPECT_EQ(app.Logon(c1.dt).result, "");
    EXPECT_EQ(app.ActiveUsersList(), here);
    r = app.Logon(c2.dt);
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, kPassedErr);
    EXPECT_EQ(r.sError, kPassedText);
    EXPECT_EQ(connected(c1.dt), std::vector<std::string>{here});
    EXPECT_EQ(connected(c2.dt), std::vector<std::string>{});
    EXPECT_EQ(app.ActiveUsersList(), "");

    // LogOff closes the database.
    r = app.LogOff();
    EXPECT_EQ(r.result, "");
    EXPECT_EQ(r.lErr, 0);
    EXPECT_EQ(r.sError, "");
    EXPECT_EQ(connected(c1.dt), std::vector<std::string>{});

    // A database that is not there: the database engine's error under the method's label.
    std::string missing = dir.file("nowhere/DT.mdb");
    r = app.Logon(missing);
    EXPECT_EQ(r.lErr, 3024) << r;
    EXPECT_NE(r.sError.find(missing), std::string::npos) << r;
    EXPECT_EQ(r.result, "-1[Logon][3024] " + r.sError);
    // And no half-open session stays behind: the next Logon opens the database anew.
    EXPECT_EQ(app.Logon(c1.dt).result, "");
    EXPECT_EQ(connected(c1.dt), std::vector<std::string>{here});
    EXPECT_EQ(app.ActiveUsersList(), here);
    EXPECT_EQ(app.LogOff().result, "");

    // A database reached through a link to its folder or to the file itself is the same
    // database: one roster, whichever name a caller uses.
    std::filesystem::create_directory_symlink(dir.file("c1"), dir.file("linked-folder"));
    std::filesystem::create_symlink(c1.dt, dir.file("linked-DT.mdb"));
    for (const std::string& link : {dir.file("linked-folder/DT.mdb"), dir.file("linked-DT.mdb")}) {
        SCOPED_TRACE(link);
        EXPECT_EQ(app.Logon(link).result, "");
        EXPECT_EQ(app.ActiveUsersList(), here);
        EXPECT_EQ(connected(c1.dt), std::vector<std::string>{here});
        EXPECT_EQ(app.LogOff().result, "");
        EXPECT_EQ(connected(c1.dt), std::vector<std::string>{});
    }
}

TEST_F(AppServerTest, ASecondBackgroundUpdateKeepsTheLockForItsWholeRun) {
    auto c = queueengine::CreateCompany(dir.file("c"), {300, 27});
    Frontend app;
    ASSERT_EQ(app.Logon(c.dt, c.ca, c.so).result, "");
    OtherUser b(dir.file("other.log"));
    ASSERT_EQ(b.Logon(c).result, "");

    ASSERT_EQ(app.UpdateQueueAsync(c, false).result, "");
    Reply r = app.Outcome();
    ASSERT_EQ(r.result, "") << r;
    // The next update at once, as a front end that refreshes the queue again may start it.
    r = app.UpdateQueueAsync(c, false);
    ASSERT_EQ(r.result, "") << r;
    // Time for the first update's engine and call-back object to go, well inside the
    // second update's delay.
    runEvents(800);
    ASSERT_EQ(app.UpdQAsyncStatus().result, "01");
    r = b.UpdateQueueAsync(c, false);
    EXPECT_EQ(r.result, "-1" + kBusy) << r;
    EXPECT_EQ(r.lErr, 1238);
    r = b.Logon(c);
    EXPECT_EQ(r.result, "-1" + kNotAvailable) << r;
    EXPECT_EQ(r.lErr, 3027);
    EXPECT_EQ(app.UpdQAsyncStatus().result, "01");

    r = app.Outcome();
    EXPECT_EQ(r.result, "") << r;
    EXPECT_EQ(b.Logon(c).result, "");
}

// A display that is named but cannot be reached counts as none: both servers start, and
// About shows no window (0) instead of every client getting 429.
TEST_F(AppServerTest, AnUnreachableDisplayCountsAsNone) {
    ASSERT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X57")) << "a display :57 exists here";
    logMessagesOfThisBus({{"DISPLAY", ":57"}});
    for (const char* progId : {"KelvorSystemPE.Application", "KelvorQueuePE.QueueEngine"}) {
        Object o = Object::CreateObject(progId);
        EXPECT_EQ(o.CallByName("About").toInt(), 0) << progId;
    }
}

// A front end's developer reads what UpdateQueue and UpdQAsyncStatus return from the bus itself.
TEST_F(AppServerTest, TheBusDescribesWhatTheUpdateMethodsReturn) {
    Object app = Object::CreateObject(kApp);
    QDBusMessage m =
        QDBusMessage::createMethodCall(app.ref().service, app.ref().path.path(),
                                       "org.freedesktop.DBus.Introspectable", "Introspect");
    QDBusMessage reply = automation::Bus().call(m);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    QString xml = reply.arguments().value(0).toString();
    for (const char* text :
         {"Activates the queue processing engine.", "while it is still in processing"})
        EXPECT_TRUE(xml.contains(text)) << text;
}

// A second UpdateQueueAsync while the first update's engine is running, twenty times: the
// first run's call-back neither ends the second update nor frees its lock (another server's
// user is refused until the second request's own run has called back), and the second request
// gets a run of its own, which starts only after the engine's delay.
TEST_F(AppServerTest, ARequestDuringARunKeepsTheLockAndGetsARunOfItsOwn) {
    constexpr int kDelayMs = 250;
    logMessagesOfThisBus({{"KELVOR_TEST_ENGINE_DELAY_MS", QString::number(kDelayMs)}});

    auto c = queueengine::CreateCompany(dir.file("c"), {500, 5});
    Frontend app;
    ASSERT_EQ(app.Logon(c.dt, c.ca, c.so).result, "");
    OtherUser b(dir.file("other.log"));
    ASSERT_EQ(b.Logon(c).result, "");
    const std::string journal = c.dt + "-journal";
    int raced = 0;
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(app.UpdateQueueAsync(c, false).result, "");
        QElapsedTimer t;
        t.start();
        while (!std::filesystem::exists(journal) && t.elapsed() < 3000) ::usleep(200);
        QElapsedTimer second;
        second.start();
        ASSERT_EQ(app.UpdateQueueAsync(c, false).result, "");
        raced += t.elapsed() < 3000;
        for (;;) {
            Reply status = app.UpdQAsyncStatus();
            if (status.result != "01") {
                EXPECT_EQ(status.result, "") << status;
                break;
            }
            Reply r = b.UpdateQueueAsync(c, false);
            if (r.result == "") {
                // Taken: rightly only if the update ended between the two questions.
                ASSERT_NE(app.UpdQAsyncStatus().result, "01") << "the lock was lost";
                EXPECT_EQ(b.Outcome().result, "");
                break;
            }
            ASSERT_EQ(r.lErr, 1238) << r;
            runEvents(10);  // a front end's pace, not a busy loop that starves the engine
            ASSERT_LT(second.elapsed(), 30000) << "the second request never ran";
        }
        EXPECT_GE(second.elapsed(), kDelayMs);
    }
    EXPECT_GE(raced, 15);
    std::printf("rounds that raced a run: %d of 20\n", raced);
}

// A real X display that goes away during a background update: both servers, the update and its
// outcome carry on, and the display counts as none from then on.
TEST_F(AppServerTest, LosingTheDisplayDuringAnUpdateEndsNothing) {
    ChildProcess x({"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset"});
    std::string display = x.readLine();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    logMessagesOfThisBus({{"DISPLAY", QString::fromStdString(":" + display)}});

    auto c = queueengine::CreateCompany(dir.file("c"), {2000, 9});
    Object about = Object::CreateObject(kApp);
    Object engine = Object::CreateObject(kEngine);
    for (Object* o : {&about, &engine}) EXPECT_EQ(o->CallByName("About").toInt(), -1);
    uint engineBefore = enginePid();
    Frontend app;
    ASSERT_EQ(app.Logon(c.dt, c.ca, c.so).result, "");
    ASSERT_EQ(app.UpdateQueueAsync(c, true).result, "");
    ASSERT_EQ(app.UpdQAsyncStatus().result, "01");
    x.kill9();

    Reply r = app.Outcome();
    EXPECT_EQ(r.result, "") << r;
    EXPECT_GT(queueSize(c.dt), 0);
    EXPECT_EQ(enginePid(), engineBefore);
    for (Object* o : {&about, &engine}) EXPECT_EQ(o->CallByName("About").toInt(), 0);
    EXPECT_EQ(logLines(messageLog), std::vector<std::string>{});
}
