// Renders every page of the wizard, as a person sees it, into PNG files: the wizard runs on a
// sample installation and is driven through its pages by clicking its own buttons.
//   wizard_screenshots OUTDIR [DAMAGED_REGISTRY]
// KELVOR_REGISTRY names the installation's registry folder. DAMAGED_REGISTRY, when given, names
// the registry folder of an installation whose workgroup file is damaged: the wizard starts
// again on it and the direct repair is caught over its backdrop.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSemaphore>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "pages.h"
#include "wizard.h"

using namespace kelvor::wizard;

namespace {

QString g_out;
int g_count = 0;

bool write(const QImage& image, const char* name) {
    QString file = QString("%1/%2-%3.png").arg(g_out).arg(++g_count).arg(name);
    bool ok = image.save(file);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", file.toUtf8().constData());
    return ok;
}

bool save(QWidget* w, const char* name) {
    QCoreApplication::processEvents();
    return write(w->grab().toImage(), name);
}

// The whole screen: every window shown, at its place, the windows that belong to another
// drawn over it.
bool saveScreen(const char* name) {
    QCoreApplication::processEvents();
    QImage screen(QGuiApplication::primaryScreen()->geometry().size(), QImage::Format_RGB32);
    screen.fill(QColor(0x3a, 0x6e, 0xa5));
    QPainter p(&screen);
    for (bool owned : {false, true}) {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && (w->parentWidget() != nullptr) == owned)
                p.drawPixmap(w->pos(), w->grab());
    }
    p.end();
    return write(screen, name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: wizard_screenshots OUTDIR [DAMAGED_REGISTRY]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    g_out = argv[1];
    std::string lastMessage;
    SetMessageBoxHandler([&](const std::string& text) { lastMessage = text; });
    if (!Main()) {
        std::fprintf(stderr, "error: the wizard did not start (%s)\n", lastMessage.c_str());
        return 1;
    }
    bool ok = true;
    auto* company = Page<frmWizSelectCompany>();
    company->lstCompanyList->setCurrentRow(0);
    ok &= save(company, "company");
    company->btnNext->click();

    auto* apps = Page<frmWizSelectApp>();
    for (int i = 0; i < apps->lstApplications->count(); ++i) {
        QString line = apps->lstApplications->item(i)->text();
        apps->lstApplications->item(i)->setSelected(line.startsWith("DT") || line.startsWith("GL"));
    }
    ok &= save(apps, "databases");
    apps->btnNext->click();

    auto* action = Page<frmWizSelectAction>();
    ok &= save(action, "action");
    action->btnNext->click();

    auto* repair = Page<frmWizRepair>();
    ok &= save(repair, "repair-before");
    // Caught once in the middle of the first compaction: the compacting thread waits while the
    // window, which has its progress by then, is drawn.
    std::atomic<bool> caught{false};
    QSemaphore drawn;
    TEST_SetCompactionHook([&](uint64_t done, uint64_t total) {
        if (done == 0 || done >= total || caught.exchange(true)) return;
        QMetaObject::invokeMethod(
            repair,
            [&] {
                ok &= save(repair, "repair-running");
                drawn.release();
            },
            Qt::QueuedConnection);
        drawn.acquire();
    });
    repair->btnProceed->click();
    TEST_SetCompactionHook({});
    if (!caught) {
        std::fprintf(stderr, "error: no compaction was caught in progress\n");
        ok = false;
    }
    ok &= save(repair, "repair-after");
    auto done = MakeMessageBox(lastMessage);
    done->show();
    ok &= save(done.get(), "repair-message");
    done.reset();

    g_sLocateProblem = "Problem locating Kelvor program database(Kelvor4PE.mde).";
    g_sLocatedPath = "/opt/kelvor/Kelvor4PE.mde";
    auto* locate = Page<frmWizLocateFiles>();
    locate->show();
    ok &= save(locate, "locate");
    locate->hide();

    if (argc == 3) {
        // Start-up again, on the damaged workgroup file: the repair page over the company page.
        ResetForTest();
        ::setenv("KELVOR_REGISTRY", argv[2], 1);
        bool shown = false;
        QElapsedTimer clock;
        clock.start();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* page = LoadedPage<frmWizRepair>();
            if (page && page->isVisible()) {
                shown = true;
                ok &= saveScreen("direct-repair");
                page->btnCancel->click();
            } else if (clock.elapsed() > 30000) {
                EndProgram();
            }
        });
        poll.start(10);
        Main();
        poll.stop();
        if (!shown) {
            std::fprintf(stderr, "error: the direct repair never showed (%s)\n",
                         lastMessage.c_str());
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
