#include "kelvor/display.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "kelvor/about_box.h"

namespace kelvor::forms {

namespace {

const char* const kShowForm = "--show-form";
// The windows' process found no display it could open.
constexpr int kNoDisplay = 3;
// A window that has not appeared by then counts as not shown (a display that accepts the
// connection and then never answers, say).
constexpr int kShowTimeoutMs = 10000;

bool g_hasDisplay = false;
// QT_QPA_PLATFORM as the server was started with it, for the windows' process.
std::optional<QByteArray> g_platform;

bool headless(const QString& platform) {
    return platform == "offscreen" || platform == "minimal";
}

QProcess* windowProcess(const QStringList& args) {
    auto* p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (g_platform) {
        env.insert("QT_QPA_PLATFORM", QString::fromLocal8Bit(*g_platform));
    } else {
        env.remove("QT_QPA_PLATFORM");
    }
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->setProgram(QCoreApplication::applicationFilePath());
    p->setArguments(QStringList{kShowForm} + args);
    return p;
}

// Waits until the window is up, without serving calls meanwhile: a box is about to appear
// and the wait is short. False, with the process gone, when it ended first or took too long.
bool waitShown(QProcess* p) {
    QElapsedTimer t;
    t.start();
    while (!p->canReadLine() && p->state() != QProcess::NotRunning) {
        qint64 left = kShowTimeoutMs - t.elapsed();
        if (left <= 0) break;
        p->waitForReadyRead(static_cast<int>(left));
    }
    if (p->canReadLine() && p->readLine().trimmed() == "shown") return true;
    p->kill();
    p->waitForFinished(1000);
    return false;
}

void sayShown() {
    std::fputs("shown\n", stdout);
    std::fflush(stdout);
}

}  // namespace

bool PrepareDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    QString p = QString::fromLocal8Bit(platform ? platform : "");
    g_hasDisplay = !headless(p) && (!p.isEmpty() || (x11 && *x11) || (wayland && *wayland));
    g_platform.reset();
    if (platform && *platform) g_platform = QByteArray(platform);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return g_hasDisplay;
}

bool HasDisplay() {
    return g_hasDisplay;
}

int16_t ShowAbout(const QString& caption, const QString& title,
                  const std::function<void(bool)>& loaded) {
    static QPointer<QProcess> shown;
    try {
        if (!HasDisplay()) return 0;
        if (shown && shown->state() == QProcess::Running) {
            shown->write("raise\n");
            return -1;
        }
        QProcess* p = windowProcess({"about", caption, title});
        p->start();
        if (!waitShown(p)) {
            delete p;
            return 0;
        }
        shown = p;
        if (loaded) loaded(true);
        auto gone = [p, loaded] {
            if (loaded) loaded(false);
            p->deleteLater();
        };
        QObject::connect(p, &QProcess::finished, p, gone);
        // It may have ended already, its end seen while the wait above read from it.
        if (p->state() == QProcess::NotRunning) {
            QObject::disconnect(p, &QProcess::finished, p, nullptr);
            gone();
        }
        return -1;
    } catch (...) {
        return 0;
    }
}

void ShowMessageBox(const QString& title, const QString& text) {
    if (!HasDisplay()) return;
    QProcess* p = windowProcess({"message", title, text});
    QEventLoop modal;
    QObject::connect(p, &QProcess::finished, &modal, &QEventLoop::quit);
    QObject::connect(p, &QProcess::errorOccurred, &modal, [&modal, p] {
        if (p->state() == QProcess::NotRunning) modal.quit();
    });
    p->start();
    if (p->state() != QProcess::NotRunning) modal.exec();
    delete p;
}

int RunWindowProcess(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], kShowForm) != 0) return -1;
    // The window goes with the server that asked for it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (argc < 5) return 2;
    // A display that cannot be opened is an answer here, not an abort: Qt falls back to
    // drawing offscreen, the last platform of the list, and that is taken as no display.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    std::string p = platform ? platform : "";
    if (p.empty()) p = std::string(wayland && *wayland ? "wayland;" : "") + "xcb";
    if (p.find("offscreen") == std::string::npos) p += ";offscreen";
    ::setenv("QT_QPA_PLATFORM", p.c_str(), 1);
    int qtArgc = 1;  // the texts are not Qt's options, whatever they begin with
    QApplication app(qtArgc, argv);
    QApplication::setApplicationVersion(KELVOR_VERSION);
    if (headless(QGuiApplication::platformName())) return kNoDisplay;
    const std::string what = argv[2];
    const QString first = QString::fromLocal8Bit(argv[3]);
    const QString second = QString::fromLocal8Bit(argv[4]);
    if (what == "message") {
        QMessageBox box(QMessageBox::Critical, first, second, QMessageBox::Ok);
        box.show();
        sayShown();
        box.exec();
        return 0;
    }
    if (what != "about") return 2;
    QPointer<frmAbout> form = new frmAbout(first, second);
    form->show();
    form->raise();
    form->activateWindow();
    // A line from the server asks for the box again; the end of its input closes it.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (!form) return;
        if (n <= 0) {
            input.setEnabled(false);
            form->close();
            return;
        }
        form->raise();
        form->activateWindow();
    });
    sayShown();
    return QApplication::exec();
}

}  // namespace kelvor::forms
