// The pages the administrator steps through: company, databases, action, repair; what each
// shows, what Back and Next keep, and what they refuse.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>

#include "wizard_fixture.h"

using namespace kelvor;
using namespace kelvor::wizard;
using namespace kelvor::wizard::test;

namespace {

using PagesTest = InstallationTest;

template <typename T>
bool Shown() {
    T* p = LoadedPage<T>();
    return p && p->isVisible();
}

std::string Text(const QLabel* l) {
    return l->text().toStdString();
}
std::string Text(const QAbstractButton* b) {
    return b->text().toStdString();
}

void Enter(QWidget* w) {
    QKeyEvent e(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// The left edge of the last word drawn in `strip` of a page's picture (dark on light), where
// letters stand less than 6 pixels apart.
int LastWordLeft(const QImage& picture, const QRect& strip) {
    auto ink = [&](int x) {
        for (int y = strip.top(); y <= strip.bottom(); ++y)
            if (qGray(picture.pixel(x, y)) < 128) return true;
        return false;
    };
    int x = strip.right();
    while (x > strip.left() && !ink(x)) --x;
    int left = x;
    for (int gap = 0; x >= strip.left() && gap < 6; --x) {
        gap = ink(x) ? 0 : gap + 1;
        if (gap == 0) left = x;
    }
    return left;
}

}  // namespace

// Pages open at the centre of the screen, each where the one before stood; the focus starts in
// the list, on a selected line, and Enter clicks the page's default button all the way to
// Finish. The status heading stands over the statuses; a message box belongs to the page in
// front, centred over it and as wide as its caption.
TEST_F(PagesTest, EnterWalksThePagesFromTheCentreOfTheScreenWithFocusInTheLists) {
    ASSERT_TRUE(Main());
    auto* company = Page<frmWizSelectCompany>();
    QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((QRect(company->pos(), company->size()).center() - screen.center()).manhattanLength(),
              2);
    EXPECT_EQ(company->focusWidget(), company->lstCompanyList);
    EXPECT_EQ(SelectedRows(company->lstCompanyList), std::vector<int>{0});
    Enter(company->focusWidget());
    auto* apps = LoadedPage<frmWizSelectApp>();
    ASSERT_TRUE(apps && apps->isVisible());
    EXPECT_EQ(apps->pos(), company->pos());
    EXPECT_EQ(apps->focusWidget(), apps->lstApplications);
    SelectRows(apps->lstApplications, {1});
    Enter(apps->focusWidget());
    auto* action = LoadedPage<frmWizSelectAction>();
    ASSERT_TRUE(action && action->isVisible());
    EXPECT_EQ(action->focusWidget(), action->optRepairNCompact);
    Enter(action->focusWidget());
    auto* repair = LoadedPage<frmWizRepair>();
    ASSERT_TRUE(repair && repair->isVisible());
    EXPECT_EQ(repair->pos(), company->pos());
    EXPECT_EQ(repair->focusWidget(), repair->lstAppRepairStatus);

    auto* list = repair->lstAppRepairStatus;
    QRect row = list->visualItemRect(list->item(0)).adjusted(0, 3, -4, -3);
    row.moveTopLeft(list->viewport()->mapTo(repair, row.topLeft()));
    QRect heading(repair->lblStatus->mapTo(repair, QPoint(0, 0)), repair->lblStatus->size());
    QImage picture = repair->grab().toImage();
    EXPECT_LE(std::abs(LastWordLeft(picture, heading) - LastWordLeft(picture, row)), 3)
        << "\"Status\" at " << LastWordLeft(picture, heading) << ", the statuses at "
        << LastWordLeft(picture, row);

    auto box = MakeMessageBox("Process completed.");
    EXPECT_EQ(box->parentWidget(), repair);
    box->show();
    EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance(kCaption));
    box.reset();

    Enter(repair->focusWidget());
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    Enter(repair->focusWidget());
    EXPECT_TRUE(ProgramEnded());
}

TEST_F(PagesTest, EachPageHasItsNamedControlsWithTheirTexts) {
    ASSERT_TRUE(Main());
    auto* company = Page<frmWizSelectCompany>();
    EXPECT_EQ(company->objectName(), "frmWizSelectCompany");
    EXPECT_EQ(company->windowTitle().toStdString(), kCaption);
    EXPECT_EQ(std::string(kCaption), "Kelvor 4.1 Professional Edition Database Maintenance Wizard");
    EXPECT_EQ(company->findChild<QListWidget*>("lstCompanyList"), company->lstCompanyList);
    EXPECT_EQ(company->lstCompanyList->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(Text(company->lblInstruction),
              "The wizard has found the following list of company database in your "
              "installation. Please select a company from the list below that you would like "
              "to perform maintenance task.");
    for (auto [name, text] : {std::pair{"btnHelp", "Help"}, std::pair{"btnBack", "< &Back"},
                              std::pair{"btnNext", "&Next >"}, std::pair{"btnCancel", "&Cancel"}}) {
        auto* b = company->findChild<QPushButton*>(name);
        ASSERT_TRUE(b) << name;
        EXPECT_EQ(Text(b), text);
    }
    EXPECT_FALSE(company->btnBack->isEnabled());
    // Help does nothing.
    company->btnHelp->click();
    EXPECT_TRUE(company->isVisible());
    EXPECT_EQ(messages, std::vector<std::string>{});

    company->lstCompanyList->setCurrentRow(0);
    company->btnNext->click();
    auto* apps = LoadedPage<frmWizSelectApp>();
    ASSERT_TRUE(apps);
    EXPECT_EQ(apps->windowTitle().toStdString(), kCaption);
    EXPECT_EQ(apps->findChild<QListWidget*>("lstApplications"), apps->lstApplications);
    EXPECT_EQ(apps->lstApplications->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(Text(apps->lblInstructions),
              "Select one or more of the database listed below that you would like to Repair "
              "and Compact. Pressing SHIFT and clicking the mouse extends the selection from "
              "the previously selected item to the current item.  Pressing CTRL and clicking "
              "the mouse selects or deselects an item in the list. Optionally, you may also "
              "choose to Repair and Compact the program database as well.");
    EXPECT_EQ(Text(apps->chkIncludeProgrDB), "Includes program database");
    EXPECT_TRUE(apps->chkIncludeProgrDB->isHidden());
    EXPECT_TRUE(apps->btnBack->isEnabled());

    apps->btnNext->click();
    auto* action = LoadedPage<frmWizSelectAction>();
    ASSERT_TRUE(action);
    EXPECT_EQ(action->fmeActionType->title().toStdString(), "Maintenance Option");
    EXPECT_EQ(Text(action->optRepairNCompact), "Repair and Compact");
    EXPECT_EQ(Text(action->optCompactOnly), "Compact Only");
    EXPECT_EQ(Text(action->optRepairOnly), "Repair Only");
    EXPECT_TRUE(action->optRepairNCompact->isChecked());
    EXPECT_TRUE(action->optRepairNCompact->isEnabled());
    EXPECT_FALSE(action->optCompactOnly->isEnabled());
    EXPECT_FALSE(action->optRepairOnly->isEnabled());
    EXPECT_EQ(g_iAction, 2);
    EXPECT_EQ(Text(action->Label1),
              "Repair and Compact will repair the database first then followed by a compact of "
              "the database to its original name. Compact will compact the databases so data "
              "access performance may improve.");

    action->btnNext->click();
    auto* repair = LoadedPage<frmWizRepair>();
    ASSERT_TRUE(repair);
    EXPECT_EQ(repair->windowTitle().toStdString(), kCaption);
    EXPECT_EQ(Text(repair->lblApplication), "Application");
    EXPECT_EQ(Text(repair->lblStatus), "Status");
    EXPECT_EQ(Text(repair->btnProceed), "&Proceed");
    EXPECT_EQ(Text(repair->btnFinish), "&Finish");
    EXPECT_EQ(repair->findChild<QProgressBar*>("ProgressBar1"), repair->ProgressBar1);
    EXPECT_FALSE(repair->ProgressBar1->isVisible());
    EXPECT_FALSE(repair->btnNext->isVisible());
    EXPECT_TRUE(repair->btnBack->isVisible());
    EXPECT_EQ(messages, std::vector<std::string>{});
}

TEST_F(PagesTest, BackAndNextKeepTheSelectionsAndAnotherCompanyRebuildsTheList) {
    ASSERT_TRUE(Main());
    auto* company = Page<frmWizSelectCompany>();
    // Every page takes the place of the one before.
    company->move(140, 110);
    company->lstCompanyList->setCurrentRow(0);
    company->btnNext->click();
    EXPECT_FALSE(company->isVisible());
    ASSERT_TRUE(Shown<frmWizSelectApp>());
    auto* apps = Page<frmWizSelectApp>();
    EXPECT_EQ(g_sCompID, "C01");
    EXPECT_EQ(g_lLeft, 140);
    EXPECT_EQ(g_lTop, 110);
    EXPECT_EQ(apps->pos(), QPoint(140, 110));
    EXPECT_EQ(Lines(apps->lstApplications),
              (std::vector<std::string>{"CA\t", "DT\tKelvor Primary Database",
                                        "GL\tGeneral Ledger Database", "SO\t"}));
    EXPECT_EQ(SelectedRows(apps->lstApplications), std::vector<int>{0});
    EXPECT_EQ(apps->lstApplications->currentRow(), 0);

    SelectRows(apps->lstApplications, {1, 2});
    apps->btnNext->click();
    ASSERT_TRUE(Shown<frmWizSelectAction>());
    EXPECT_FALSE(apps->isVisible());
    ASSERT_EQ(g_oApplications->Count(), 2);
    auto dt = g_oApplications->Item(1);
    EXPECT_EQ(dt->AppID, "DT");
    EXPECT_EQ(dt->AppPath, CompanyFile("C01", "DT"));
    EXPECT_EQ(dt->AppDesc, "Kelvor Primary Database");
    EXPECT_EQ(dt->Flag, "Pending");
    EXPECT_EQ(g_oApplications->Item(2)->AppID, "GL");
    EXPECT_EQ(g_oApplications->Item(2)->Flag, "Pending");
    // The run list has entries of its own: the company's stay without a status.
    auto own = g_oCompanies->Item("C01")->GetApplications()->Item("DT");
    EXPECT_NE(own, dt);
    EXPECT_EQ(own->Flag, "");

    Page<frmWizSelectAction>()->btnBack->click();
    ASSERT_TRUE(Shown<frmWizSelectApp>());
    EXPECT_EQ(SelectedRows(apps->lstApplications), (std::vector<int>{1, 2}));
    apps->btnBack->click();
    ASSERT_TRUE(Shown<frmWizSelectCompany>());
    EXPECT_EQ(SelectedRows(company->lstCompanyList), std::vector<int>{0});

    // The same company again: the list is not rebuilt.
    company->btnNext->click();
    ASSERT_TRUE(Shown<frmWizSelectApp>());
    EXPECT_EQ(SelectedRows(apps->lstApplications), (std::vector<int>{1, 2}));

    // Another company: its own databases, the first one selected.
    apps->btnBack->click();
    company->lstCompanyList->setCurrentRow(1);
    company->btnNext->click();
    ASSERT_TRUE(Shown<frmWizSelectApp>());
    EXPECT_EQ(g_sCompID, "C02");
    EXPECT_EQ(Lines(apps->lstApplications),
              (std::vector<std::string>{
                  "CA\t", "DT\tKelvor Primary Database", "GL\tGeneral Ledger Database", "SO\t",
                  "SM\tSystem Manager Database", "Kelvor\tKelvor Program Database"}));
    EXPECT_EQ(SelectedRows(apps->lstApplications), std::vector<int>{0});
    SelectRows(apps->lstApplications, {0, 5});
    apps->btnNext->click();
    ASSERT_EQ(g_oApplications->Count(), 2);
    EXPECT_EQ(g_oApplications->Item(1)->AppPath, CompanyFile("C02", "CA"));
    EXPECT_EQ(g_oApplications->Item(2)->AppPath, ProgramDb());
    EXPECT_EQ(messages, std::vector<std::string>{});
}

TEST_F(PagesTest, TheRepairPageListsTheLatestChoiceEachTimeItIsReached) {
    frmWizRepair* repair = GoToRepairPage("C01", {1});
    ASSERT_TRUE(repair);
    EXPECT_TRUE(repair->isVisible());
    EXPECT_EQ(Text(repair->lblTitle), "Repair and Compact Status:");
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("Kelvor Primary Database", "Pending")});
    EXPECT_TRUE(repair->btnProceed->isEnabled());
    EXPECT_FALSE(repair->btnFinish->isVisible());

    repair->btnBack->click();
    ASSERT_TRUE(Shown<frmWizSelectAction>());
    EXPECT_FALSE(repair->isVisible());
    Page<frmWizSelectAction>()->btnBack->click();
    auto* apps = Page<frmWizSelectApp>();
    SelectRows(apps->lstApplications, {0, 1, 2});
    apps->btnNext->click();
    Page<frmWizSelectAction>()->btnNext->click();
    ASSERT_TRUE(Shown<frmWizRepair>());
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{StatusLine("", "Pending"),
                                        StatusLine("Kelvor Primary Database", "Pending"),
                                        StatusLine("General Ledger Database", "Pending")}));
    EXPECT_EQ(Pointer(), 0);

    // The program database, when asked for with the hidden check box, comes last.
    repair->btnBack->click();
    Page<frmWizSelectAction>()->btnBack->click();
    SelectRows(apps->lstApplications, {1});
    apps->chkIncludeProgrDB->setChecked(true);
    apps->btnNext->click();
    ASSERT_EQ(g_oApplications->Count(), 2);
    auto program = g_oApplications->Item(2);
    EXPECT_EQ(program->AppID, "Kelvor");
    EXPECT_EQ(program->AppPath, ProgramDb());
    EXPECT_EQ(program->AppDesc, "Kelvor Program Database");
    EXPECT_EQ(program->Flag, "Pending");
    Page<frmWizSelectAction>()->btnNext->click();
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{StatusLine("Kelvor Primary Database", "Pending"),
                                        StatusLine("Kelvor Program Database", "Pending")}));
}

TEST_F(PagesTest, NextWithoutAChoiceIsRefusedAndThePageStays) {
    ASSERT_TRUE(Main());
    auto* company = Page<frmWizSelectCompany>();
    company->lstCompanyList->clearSelection();
    company->btnNext->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Please select a company."});
    EXPECT_TRUE(company->isVisible());
    EXPECT_FALSE(LoadedPage<frmWizSelectApp>());
    EXPECT_EQ(Pointer(), 0);

    company->lstCompanyList->setCurrentRow(1);
    company->btnNext->click();
    auto* apps = LoadedPage<frmWizSelectApp>();
    ASSERT_TRUE(apps);
    messages.clear();
    apps->lstApplications->clearSelection();
    apps->lstApplications->setCurrentItem(nullptr);
    apps->btnNext->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Please select at least one application."});
    EXPECT_TRUE(apps->isVisible());
    EXPECT_FALSE(LoadedPage<frmWizSelectAction>());

    // A current line without any selected one passes, and leaves nothing to run.
    apps->lstApplications->setCurrentRow(2, QItemSelectionModel::NoUpdate);
    ASSERT_EQ(SelectedRows(apps->lstApplications), std::vector<int>{});
    apps->btnNext->click();
    ASSERT_TRUE(Shown<frmWizSelectAction>());
    EXPECT_EQ(g_oApplications->Count(), 0);
    Page<frmWizSelectAction>()->btnNext->click();
    auto* repair = LoadedPage<frmWizRepair>();
    ASSERT_TRUE(repair);
    EXPECT_EQ(repair->lstAppRepairStatus->count(), 0);
    EXPECT_FALSE(repair->btnProceed->isEnabled());
    EXPECT_TRUE(repair->btnFinish->isVisible());
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(PagesTest, CancelOrClosingTheWindowEndsTheProgramFromEveryPage) {
    for (int depth = 0; depth < 4; ++depth) {
        for (bool closeBox : {false, true}) {
            SCOPED_TRACE("page " + std::to_string(depth) + (closeBox ? " close box" : " Cancel"));
            ResetForTest();
            ASSERT_TRUE(Main());
            WizardPage* page = Page<frmWizSelectCompany>();
            Page<frmWizSelectCompany>()->lstCompanyList->setCurrentRow(0);
            if (depth >= 1) {
                page->btnNext->click();
                page = Page<frmWizSelectApp>();
            }
            if (depth >= 2) {
                page->btnNext->click();
                page = Page<frmWizSelectAction>();
            }
            if (depth >= 3) {
                page->btnNext->click();
                page = Page<frmWizRepair>();
            }
            ASSERT_TRUE(page->isVisible());
            if (closeBox) {
                page->close();
            } else {
                page->btnCancel->click();
            }
            EXPECT_TRUE(ProgramEnded());
            EXPECT_FALSE(LoadedPage<frmWizSelectCompany>());
            EXPECT_FALSE(LoadedPage<frmWizSelectApp>());
            EXPECT_FALSE(LoadedPage<frmWizSelectAction>());
            EXPECT_FALSE(LoadedPage<frmWizRepair>());
        }
    }
    EXPECT_EQ(messages, std::vector<std::string>{});
}

TEST_F(PagesTest, TheLocatePageBrowsesWithItsOwnFilterFirstAndKeepsTheDialogsLastFile) {
    g_sLocateProblem = "Problem locating the Workgroup Information File Kelvor2000.mdw !";
    g_sLocatedPath = "/nowhere/Kelvor2000.mdw";
    g_sLocateFilter = "";
    auto* page = Page<frmWizLocateFiles>();
    // Without a filter of its own, the database filter comes twice.
    EXPECT_EQ(page->browseFilter().toStdString(),
              "Access Database (*.MDB)|*.MDB|Access Database (*.MDB)|*.MDB|All Files (*.*)|*.*");
    g_sLocateFilter = "Workgroup MDW (*.MDW)|*.MDW";
    page->show();
    EXPECT_EQ(page->lblProblem->text().toStdString(), g_sLocateProblem);
    EXPECT_EQ(page->txtPath->text().toStdString(), "/nowhere/Kelvor2000.mdw");

    auto dialogShown = [page] { return page->dlgDialog1->isVisible(); };
    // Cancelled at once: the dialog had no file yet.
    WhenReady(page, dialogShown, [page] { page->dlgDialog1->reject(); });
    page->btnBrowse->click();
    EXPECT_EQ(page->txtPath->text().toStdString(), "");
    EXPECT_EQ(page->dlgDialog1->nameFilters().value(0).toStdString(), "Workgroup MDW (*.MDW)");

    std::string chosen = Workgroup();
    WhenReady(page, dialogShown, [page, chosen] {
        // Typed into the dialog's file name box, as a user would.
        auto* name = page->dlgDialog1->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_TRUE(name);
        name->setText(QString::fromStdString(chosen));
        static_cast<QDialog*>(page->dlgDialog1)->accept();  // QFileDialog hides it
        if (page->dlgDialog1->isVisible()) {
            ADD_FAILURE() << "the file dialog did not take " << chosen;
            page->dlgDialog1->reject();
        }
    });
    page->btnBrowse->click();
    EXPECT_EQ(page->txtPath->text().toStdString(), chosen);

    // Cancelled later: the dialog's last file comes back over what was typed.
    page->txtPath->setText("typed by hand");
    WhenReady(page, dialogShown, [page] { page->dlgDialog1->reject(); });
    page->btnBrowse->click();
    EXPECT_EQ(page->txtPath->text().toStdString(), chosen);

    page->btnNext->click();
    EXPECT_EQ(g_sLocatedPath, chosen);
    EXPECT_FALSE(page->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(LoadedPage<frmWizLocateFiles>());
    EXPECT_EQ(messages, std::vector<std::string>{});
}
