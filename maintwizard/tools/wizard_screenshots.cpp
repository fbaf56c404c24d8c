// Renders every page of the wizard, as a person sees it, into PNG files: the wizard runs on a
// sample installation and is driven through its pages by clicking its own buttons.
//   wizard_screenshots OUTDIR   (KELVOR_REGISTRY names the installation's registry folder)
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "pages.h"
#include "wizard.h"

using namespace kelvor::wizard;

namespace {

QString g_out;
int g_count = 0;

bool save(QWidget* w, const char* name) {
    QCoreApplication::processEvents();
    QString file = QString("%1/%2-%3.png").arg(g_out).arg(++g_count).arg(name);
    bool ok = w->grab().save(file);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", file.toUtf8().constData());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wizard_screenshots OUTDIR\n");
        return 2;
    }
    QApplication app(argc, argv);
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
    repair->btnProceed->click();
    ok &= save(repair, "repair-after");
    QMessageBox done(QMessageBox::NoIcon, kCaption, QString::fromStdString(lastMessage),
                     QMessageBox::Ok);
    done.show();
    ok &= save(&done, "repair-message");
    done.hide();

    g_sLocateProblem = "Problem locating Kelvor program database(Kelvor4PE.mde).";
    g_sLocatedPath = "/opt/kelvor/Kelvor4PE.mde";
    auto* locate = Page<frmWizLocateFiles>();
    locate->show();
    ok &= save(locate, "locate");
    locate->hide();
    return ok ? 0 : 1;
}
