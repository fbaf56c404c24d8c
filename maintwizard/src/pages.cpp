#include "pages.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTextLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <iterator>
#include <thread>

#include "kelvor/error.h"
#include "kelvor/server.h"
#include "mod_globals.h"
#include "wizard.h"

namespace kelvor::wizard {

namespace {

constexpr int kWidth = 600, kHeight = 400;

QPixmap sidePicture() {
    QPixmap pm(140, 300);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 0, 300);
    g.setColorAt(0, QColor(0x1f, 0x4e, 0x79));
    g.setColorAt(1, QColor(0x5b, 0x9b, 0xd5));
    p.fillRect(pm.rect(), g);
    p.setPen(QColor(255, 255, 255, 220));
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(56);
    p.setFont(f);
    p.drawText(QRect(0, 20, 140, 80), Qt::AlignCenter, "K");
    f.setPixelSize(13);
    f.setBold(false);
    p.setFont(f);
    p.drawText(QRect(8, 110, 124, 60), Qt::AlignCenter | Qt::TextWordWrap, "Database\nMaintenance");
    // Stacked "disks" for a database wizard.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        p.setBrush(QColor(255, 255, 255, 90 + 50 * i));
        p.drawEllipse(QRect(35, 190 + 22 * i, 70, 26));
    }
    return pm;
}

QFrame* line(QWidget* parent, const char* name) {
    auto* l = new QFrame(parent);
    l->setObjectName(name);
    l->setFrameShape(QFrame::HLine);
    l->setFrameShadow(QFrame::Sunken);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const char* text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    // A button with the focus takes Enter itself, as everywhere on the desktop.
    b->setAutoDefault(true);
    return b;
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// A file operation's failure as the runtime reports it.
[[noreturn]] void fileError(const std::string& path) {
    int e = errno;
    int number = e == ENOENT                   ? err::kRuntimeFileNotFound
                 : e == EEXIST                 ? err::kFileAlreadyExists
                 : (e == EACCES || e == EPERM) ? err::kPermissionDenied
                                               : err::kPathFileAccessError;
    throw Error(number, Error::messageFor(number) + ": " + path);
}

bool exists(const std::string& path) {
    struct stat sb;
    return ::stat(path.c_str(), &sb) == 0;
}

// Renames without replacing: a file under the new name is never overwritten.
void renameFile(const std::string& from, const std::string& to) {
    if (exists(to)) {
        errno = EEXIST;
        fileError(to);
    }
    if (std::rename(from.c_str(), to.c_str()) != 0) fileError(from);
}

void letEventsRun() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// Runs `work` on a thread of its own while this thread goes on handling the window's events
// (painting, Cancel), and throws here what it threw there.
void runOffThread(const std::function<void()>& work) {
    std::atomic<bool> finished{false};
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        // Wakes the loop below should it be waiting for an event.
        QMetaObject::invokeMethod(
            qApp, [] {}, Qt::QueuedConnection);
    });
    while (!finished) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
    // What the thread sent the window (the bar's progress) arrives before anything that follows.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    if (failure) std::rethrow_exception(failure);
}

// The file a path names: for a symbolic link, its target, so that the target is compacted and
// replaced and the link stays as it is.
std::string linkTarget(const std::string& path) {
    struct stat sb;
    char resolved[PATH_MAX];
    if (::lstat(path.c_str(), &sb) != 0 || !S_ISLNK(sb.st_mode) ||
        !::realpath(path.c_str(), resolved))
        return path;
    return resolved;
}

// Steps 3 to 5 of an entry: the compacted copy takes the database's place. Run while the
// compaction still holds the database locked, so that nobody can write to it in between.
void swapIn(const std::string& path, const std::string& backup, const std::string& old) {
    std::remove(old.c_str());
    renameFile(path, old);
    try {
        renameFile(backup, path);
    } catch (const Error& e) {
        // The database goes back under its own name; the compacted copy stays.
        std::rename(old.c_str(), path.c_str());
        throw Error(e.number(), e.description() + ". The database is unchanged at " + path +
                                    "; its compacted copy is at " + backup + ".");
    }
    std::remove(old.c_str());
}

// Progress bar steps per database: the bar shows the database in progress within the run.
constexpr int kBarSteps = 100;

std::function<void(uint64_t, uint64_t)> g_compactionHook;

template <typename T>
QPointer<T>& slot() {
    static QPointer<T> p;
    return p;
}

}  // namespace

void TEST_SetCompactionHook(std::function<void(uint64_t, uint64_t)> hook) {
    g_compactionHook = std::move(hook);
}

template <typename T>
T* Page() {
    auto& p = slot<T>();
    if (!p) p = new T;
    return p;
}

template <typename T>
T* LoadedPage() {
    return slot<T>();
}

template <typename T>
void UnloadPage() {
    auto& p = slot<T>();
    if (p) {
        p->hide();
        delete p.data();
    }
}

template frmWizSelectCompany* Page<frmWizSelectCompany>();
template frmWizSelectApp* Page<frmWizSelectApp>();
template frmWizSelectAction* Page<frmWizSelectAction>();
template frmWizLocateFiles* Page<frmWizLocateFiles>();
template frmWizRepair* Page<frmWizRepair>();
template frmWizSelectCompany* LoadedPage<frmWizSelectCompany>();
template frmWizSelectApp* LoadedPage<frmWizSelectApp>();
template frmWizSelectAction* LoadedPage<frmWizSelectAction>();
template frmWizLocateFiles* LoadedPage<frmWizLocateFiles>();
template frmWizRepair* LoadedPage<frmWizRepair>();
template void UnloadPage<frmWizSelectCompany>();
template void UnloadPage<frmWizSelectApp>();
template void UnloadPage<frmWizSelectAction>();
template void UnloadPage<frmWizLocateFiles>();
template void UnloadPage<frmWizRepair>();

void UnloadAllPages() {
    UnloadPage<frmWizLocateFiles>();
    UnloadPage<frmWizRepair>();
    UnloadPage<frmWizSelectAction>();
    UnloadPage<frmWizSelectApp>();
    UnloadPage<frmWizSelectCompany>();
}

// ---- the page frame -------------------------------------------------------------------------

WizardPage::WizardPage(const char* name) {
    setObjectName(name);
    setWindowTitle(kCaption);
    setFixedSize(kWidth, kHeight);
    auto* picture = new QLabel(this);
    picture->setObjectName("picSide");
    picture->setPixmap(sidePicture());
    body = new QWidget(this);
    btnHelp = button(this, "btnHelp", "Help");
    btnBack = button(this, "btnBack", "< &Back");
    btnNext = button(this, "btnNext", "&Next >");
    btnCancel = button(this, "btnCancel", "&Cancel");
    auto* top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addWidget(body, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnHelp);
    buttons->addStretch();
    buttons->addWidget(btnBack);
    buttons->addWidget(btnNext);
    buttons->addSpacing(12);
    buttons->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addWidget(line(this, "Line1"));
    all->addLayout(top, 1);
    all->addWidget(line(this, "Line2"));
    all->addLayout(buttons);
    connect(btnCancel, &QPushButton::clicked, this, [] { EndProgram(); });
}

void WizardPage::storePosition() {
    g_lLeft = x();
    g_lTop = y();
}

void WizardPage::moveToStored() {
    move(g_lLeft, g_lTop);
}

void WizardPage::centreOnScreen() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (s) move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

void WizardPage::keyPressEvent(QKeyEvent* e) {
    QPushButton* b = defaultButton();
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && b && !b->isHidden() &&
        b->isEnabled()) {
        b->click();
        return;
    }
    QWidget::keyPressEvent(e);
}

void WizardPage::showPage() {
    show();
    raise();
    activateWindow();
}

void WizardPage::showModal(QWidget* owner) {
    setWindowModality(Qt::ApplicationModal);
    if (owner) {
        // Keeps the page in front of the page it belongs to, where it stood.
        QPoint at = pos();
        setParent(owner, Qt::Dialog);
        setFixedSize(kWidth, kHeight);
        move(at);
    }
    QPointer<WizardPage> self(this);
    QEventLoop loop;
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    show();
    raise();
    while (self && self->isVisible() && !ProgramEnded())
        loop.processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
}

void WizardPage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    Form_Activate();
}

void WizardPage::closeEvent(QCloseEvent* e) {
    // The window's close box is Cancel (during a run, EndProgram waits for the database in
    // progress).
    e->ignore();
    EndProgram();
}

// ---- company page ---------------------------------------------------------------------------

frmWizSelectCompany::frmWizSelectCompany() : WizardPage("frmWizSelectCompany") {
    SetPointer(13);
    lblInstruction = new QLabel(
        "The wizard has found the following list of company database in your installation. "
        "Please select a company from the list below that you would like to perform "
        "maintenance task.",
        body);
    lblInstruction->setObjectName("lblInstruction");
    lblInstruction->setWordWrap(true);
    lstCompanyList = new QListWidget(body);
    lstCompanyList->setObjectName("lstCompanyList");
    lstCompanyList->setSelectionMode(QAbstractItemView::SingleSelection);
    auto* l = new QVBoxLayout(body);
    l->addWidget(lblInstruction);
    l->addWidget(lstCompanyList, 1);
    btnBack->setEnabled(false);
    if (g_lLeft == 0 || g_lTop == 0) {
        centreOnScreen();
        storePosition();
    } else {
        moveToStored();
    }
    if (g_oCompanies) {
        for (int i = 1; i <= g_oCompanies->Count(); ++i) {
            auto c = g_oCompanies->Item(i);
            lstCompanyList->addItem(q(c->CompID + "\t" + c->CompanyName));
        }
    }
    // The line the focus starts on is the line selected: Enter goes on with that company.
    if (lstCompanyList->count() > 0) lstCompanyList->setCurrentRow(0);
    connect(btnNext, &QPushButton::clicked, this, [this] { btnNext_Click(); });
}

void frmWizSelectCompany::Form_Activate() {
    moveToStored();
    lstCompanyList->setFocus();
    SetPointer(0);
}

void frmWizSelectCompany::btnNext_Click() {
    SetPointer(13);
    int row = lstCompanyList->currentRow();
    if (row < 0 || lstCompanyList->selectedItems().isEmpty()) {
        MsgBox("Please select a company.");
        SetPointer(0);
        return;
    }
    g_sCompID = g_oCompanies->Item(row + 1)->CompID;
    storePosition();
    Page<frmWizSelectApp>()->showPage();
    hide();
}

// ---- database-choice page -------------------------------------------------------------------

frmWizSelectApp::frmWizSelectApp() : WizardPage("frmWizSelectApp") {
    SetPointer(13);
    lblInstructions = new QLabel(
        "Select one or more of the database listed below that you would like to Repair and "
        "Compact. Pressing SHIFT and clicking the mouse extends the selection from the "
        "previously selected item to the current item.  Pressing CTRL and clicking the mouse "
        "selects or deselects an item in the list. Optionally, you may also choose to Repair "
        "and Compact the program database as well.",
        body);
    lblInstructions->setObjectName("lblInstructions");
    lblInstructions->setWordWrap(true);
    lstApplications = new QListWidget(body);
    lstApplications->setObjectName("lstApplications");
    lstApplications->setSelectionMode(QAbstractItemView::ExtendedSelection);
    chkIncludeProgrDB = new QCheckBox("Includes program database", body);
    chkIncludeProgrDB->setObjectName("chkIncludeProgrDB");
    chkIncludeProgrDB->hide();
    auto* l = new QVBoxLayout(body);
    l->addWidget(lblInstructions);
    l->addWidget(lstApplications, 1);
    l->addWidget(chkIncludeProgrDB);
    moveToStored();
    connect(btnBack, &QPushButton::clicked, this, [this] { btnBack_Click(); });
    connect(btnNext, &QPushButton::clicked, this, [this] { btnNext_Click(); });
}

bool frmWizSelectApp::FillApplicationList() {
    try {
        lstApplications->clear();
        auto company = g_oCompanies->Item(g_sCompID);
        if (!company) throw Error::make(err::kObjectNotSet);
        auto apps = company->GetApplications();
        for (int i = 1; i <= apps->Count(); ++i) {
            auto a = apps->Item(i);
            lstApplications->addItem(q(a->AppID + "\t" + a->AppDesc));
        }
        if (lstApplications->count() > 0) {
            lstApplications->setCurrentRow(0);
            lstApplications->item(0)->setSelected(true);
        }
        return true;
    } catch (...) {
        SetPointer(0);
        return false;
    }
}

void frmWizSelectApp::Form_Activate() {
    SetPointer(13);
    moveToStored();
    if (g_sCompID != listed_ && !FillApplicationList()) {
        EndProgram();
        return;
    }
    listed_ = g_sCompID;
    lstApplications->setFocus();
    SetPointer(0);
}

void frmWizSelectApp::btnBack_Click() {
    listed_ = g_sCompID;
    storePosition();
    Page<frmWizSelectCompany>()->showPage();
    hide();
}

void frmWizSelectApp::btnNext_Click() {
    if (lstApplications->currentRow() < 0) {
        MsgBox("Please select at least one application.");
        return;
    }
    auto apps = g_oCompanies->Item(g_sCompID)->GetApplications();
    g_oApplications = std::make_shared<CApplications>();
    for (int i = 0; i < lstApplications->count(); ++i) {
        if (!lstApplications->item(i)->isSelected()) continue;
        auto a = apps->Item(i + 1);
        g_oApplications->Add(a->AppID, a->AppPath, a->AppDesc, "Pending");
    }
    if (chkIncludeProgrDB->isChecked())
        g_oApplications->Add("Kelvor", g_sInstallPath + "/" + kProgramDatabase,
                             "Kelvor Program Database", "Pending");
    listed_ = g_sCompID;
    storePosition();
    Page<frmWizSelectAction>()->showPage();
    hide();
}

// ---- action page -----------------------------------------------------------------------------

frmWizSelectAction::frmWizSelectAction() : WizardPage("frmWizSelectAction") {
    g_iAction = 2;
    SetPointer(13);
    fmeActionType = new QGroupBox("Maintenance Option", body);
    fmeActionType->setObjectName("fmeActionType");
    optRepairNCompact = new QRadioButton("Repair and Compact", fmeActionType);
    optRepairNCompact->setObjectName("optRepairNCompact");
    optRepairNCompact->setChecked(true);
    optCompactOnly = new QRadioButton("Compact Only", fmeActionType);
    optCompactOnly->setObjectName("optCompactOnly");
    optCompactOnly->setEnabled(false);
    optRepairOnly = new QRadioButton("Repair Only", fmeActionType);
    optRepairOnly->setObjectName("optRepairOnly");
    optRepairOnly->setEnabled(false);
    auto* fl = new QVBoxLayout(fmeActionType);
    fl->addWidget(optRepairNCompact);
    fl->addWidget(optCompactOnly);
    fl->addWidget(optRepairOnly);
    Label1 = new QLabel(
        "Repair and Compact will repair the database first then followed by a compact of the "
        "database to its original name. Compact will compact the databases so data access "
        "performance may improve.",
        body);
    Label1->setObjectName("Label1");
    Label1->setWordWrap(true);
    auto* l = new QVBoxLayout(body);
    l->addWidget(fmeActionType);
    l->addWidget(Label1);
    l->addStretch();
    moveToStored();
    connect(optRepairNCompact, &QRadioButton::clicked, [] { g_iAction = 2; });
    connect(optCompactOnly, &QRadioButton::clicked, [] { g_iAction = 1; });
    connect(optRepairOnly, &QRadioButton::clicked, [] { g_iAction = 0; });
    connect(btnBack, &QPushButton::clicked, this, [this] {
        storePosition();
        Page<frmWizSelectApp>()->showPage();
        hide();
    });
    connect(btnNext, &QPushButton::clicked, this, [this] {
        SetPointer(13);
        storePosition();
        Page<frmWizRepair>()->showPage();
        hide();
    });
}

void frmWizSelectAction::Form_Activate() {
    moveToStored();
    for (QRadioButton* o : {optRepairNCompact, optCompactOnly, optRepairOnly})
        if (o->isChecked()) o->setFocus();
    SetPointer(0);
}

// ---- locate page -----------------------------------------------------------------------------

frmWizLocateFiles::frmWizLocateFiles() : WizardPage("frmWizLocateFiles") {
    setAttribute(Qt::WA_DeleteOnClose);
    lblProblem = new QLabel(q(g_sLocateProblem), body);
    lblProblem->setObjectName("lblProblem");
    lblProblem->setWordWrap(true);
    lblInstructions = new QLabel(
        "Type the name and location of the item. Or, search for the item by clicking Browse.",
        body);
    lblInstructions->setObjectName("lblInstructions");
    lblInstructions->setWordWrap(true);
    txtPath = new QLineEdit(q(g_sLocatedPath), body);
    txtPath->setObjectName("txtPath");
    btnBrowse = new QPushButton("&Browse", body);
    btnBrowse->setObjectName("btnBrowse");
    dlgDialog1 = new QFileDialog(this);
    dlgDialog1->setObjectName("dlgDialog1");
    dlgDialog1->setFileMode(QFileDialog::ExistingFile);
    dlgDialog1->setOption(QFileDialog::DontUseNativeDialog);
    auto* row = new QHBoxLayout;
    row->addWidget(txtPath, 1);
    row->addWidget(btnBrowse);
    auto* l = new QVBoxLayout(body);
    l->addWidget(lblProblem);
    l->addSpacing(10);
    l->addWidget(lblInstructions);
    l->addLayout(row);
    l->addStretch();
    btnBack->setEnabled(false);
    if (g_lLeft != 0 && g_lTop != 0) {
        moveToStored();
    } else {
        centreOnScreen();
    }
    connect(btnBrowse, &QPushButton::clicked, this, [this] { btnBrowse_Click(); });
    connect(btnNext, &QPushButton::clicked, this, [this] { btnNext_Click(); });
}

void frmWizLocateFiles::Form_Activate() {
    txtPath->setFocus();
}

// "Name (*.X)|*.X" pairs joined by "|", as the file-open dialog has always been given them.
QString frmWizLocateFiles::browseFilter() const {
    std::string own = g_sLocateFilter.empty() ? "Access Database (*.MDB)|*.MDB" : g_sLocateFilter;
    return q(own + "|" + "Access Database (*.MDB)|*.MDB" + "|" + "All Files (*.*)|*.*");
}

void frmWizLocateFiles::btnBrowse_Click() {
    // Qt lists "Name (*.X)" entries; the pattern after each "|" is already in the name.
    QStringList parts = browseFilter().split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) filters << parts[i];
    dlgDialog1->setNameFilters(filters);
    if (dlgDialog1->exec() == QDialog::Accepted && !dlgDialog1->selectedFiles().isEmpty())
        lastFile_ = dlgDialog1->selectedFiles().first();
    // A cancelled dialog leaves the file name it had before.
    txtPath->setText(lastFile_);
}

void frmWizLocateFiles::btnNext_Click() {
    storePosition();
    g_sLocatedPath = txtPath->text().toStdString();
    hide();
    deleteLater();
}

// ---- repair page -----------------------------------------------------------------------------

frmWizRepair::frmWizRepair() : WizardPage("frmWizRepair") {
    SetPointer(13);
    lblTitle = new QLabel("Repair Status:", body);
    lblTitle->setObjectName("lblTitle");
    QFont f = lblTitle->font();
    f.setBold(true);
    lblTitle->setFont(f);
    // The headings are placed over the list's columns by alignHeadings.
    headings_ = new QWidget(body);
    lblApplication = new QLabel("Application", headings_);
    lblApplication->setObjectName("lblApplication");
    lblStatus = new QLabel("Status", headings_);
    lblStatus->setObjectName("lblStatus");
    headings_->setFixedHeight(lblStatus->sizeHint().height());
    lstAppRepairStatus = new QListWidget(body);
    lstAppRepairStatus->setObjectName("lstAppRepairStatus");
    QFont mono("Monospace");
    mono.setStyleHint(QFont::TypeWriter);
    lstAppRepairStatus->setFont(mono);
    ProgressBar1 = new QProgressBar(body);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setVisible(false);
    btnProceed = button(this, "btnProceed", "&Proceed");
    btnFinish = button(this, "btnFinish", "&Finish");
    // Proceed and Finish take Next's place in the button row.
    auto* rowLayout =
        qobject_cast<QBoxLayout*>(btnNext->parentWidget()->layout()->itemAt(3)->layout());
    if (rowLayout) {
        int at = rowLayout->indexOf(btnNext);
        rowLayout->insertWidget(at, btnFinish);
        rowLayout->insertWidget(at, btnProceed);
    }
    btnNext->hide();
    auto* l = new QVBoxLayout(body);
    l->addWidget(lblTitle);
    l->addWidget(headings_);
    l->addWidget(lstAppRepairStatus, 1);
    l->addWidget(ProgressBar1);
    setWindowTitle(kCaption);
    moveToStored();
    if (!FillStatusList()) EndProgram();
    connect(btnProceed, &QPushButton::clicked, this, [this] { btnProceed_Click(); });
    connect(btnFinish, &QPushButton::clicked, [] { EndProgram(); });
    connect(btnBack, &QPushButton::clicked, this, [this] {
        storePosition();
        Page<frmWizSelectAction>()->showPage();
        hide();
    });
}

QPushButton* frmWizRepair::defaultButton() const {
    return btnFinish->isHidden() ? btnProceed : btnFinish;
}

// "Application" stands where the list's text starts and "Status" where a line's TAB takes its
// text: the list's item delegate lays a line out as a QTextLayout does by default (a tab stop
// every 80 pixels), after the style's text margin.
void frmWizRepair::alignHeadings() {
    layout()->activate();
    QTextLayout text(QString(38, ' ') + "\tX", lstAppRepairStatus->font());
    text.beginLayout();
    QTextLine line = text.createLine();
    text.endLayout();
    int margin =
        style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lstAppRepairStatus) + 1;
    QPoint start = lstAppRepairStatus->viewport()->mapTo(this, QPoint(margin, 0));
    int x = headings_->mapFrom(this, start).x();
    lblApplication->setGeometry(x, 0, lblApplication->sizeHint().width(), headings_->height());
    lblStatus->setGeometry(x + qRound(line.cursorToX(39)), 0, lblStatus->sizeHint().width(),
                           headings_->height());
}

bool frmWizRepair::FillStatusList() {
    try {
        lstAppRepairStatus->clear();
        pending_ = false;
        if (!g_oApplications) return true;
        for (int i = 1; i <= g_oApplications->Count(); ++i) {
            auto a = g_oApplications->Item(i);
            std::string desc = a->AppDesc.substr(0, 38);
            if (desc.size() < 38) desc.append(38 - desc.size(), ' ');
            lstAppRepairStatus->addItem(q(desc + "\t" + a->Flag));
            pending_ = a->Flag == "Pending";
        }
        return true;
    } catch (const Error& e) {
        MsgBox(ErrorMessage(e));
        SetPointer(0);
        return false;
    }
}

void frmWizRepair::Form_Activate() {
    // A window shown again during a run (after a minimise) leaves the run's buttons alone.
    if (running_) return;
    SetPointer(13);
    moveToStored();
    alignHeadings();
    lblTitle->setText(g_iAction == 0   ? "Repair Status:"
                      : g_iAction == 1 ? "Compact Status:"
                                       : "Repair and Compact Status:");
    if (!FillStatusList()) {
        EndProgram();
        return;
    }
    btnProceed->setEnabled(pending_);
    btnFinish->setVisible(!pending_);
    lstAppRepairStatus->setFocus();
    SetPointer(0);
}

void frmWizRepair::stopAfterThisDatabase() {
    stopAsked_ = true;
    btnCancel->setEnabled(false);
}

void frmWizRepair::btnProceed_Click() {
    bool ok = RunMaintenance();
    if (ProgramEnded()) return;
    if (stopAsked_) {
        EndProgram();
        return;
    }
    if (!ok) {
        MsgBox("Error occurred !");
        return;
    }
    MsgBox("Process completed.");
    btnProceed->setEnabled(false);
    btnFinish->setVisible(true);
}

// One entry's file work, off the window's thread: a stale backup goes, the database is
// compacted into the backup name, and the copy takes the database's place while the compaction
// still holds the database locked. A database on a server is compacted where it is, with no
// file beside it. The bar moves with the engine's progress.
void frmWizRepair::compactInPlace(int line, const std::string& path) {
    CompactOptions options;
    options.progress = [this, line, shown = -1](uint64_t done, uint64_t total) mutable {
        int value =
            line * kBarSteps + static_cast<int>(done * kBarSteps / std::max<uint64_t>(total, 1));
        if (value != shown) {
            shown = value;
            QMetaObject::invokeMethod(
                this, [this, value] { ProgressBar1->setValue(value); }, Qt::QueuedConnection);
        }
        if (g_compactionHook) g_compactionHook(done, total);
    };
    if (NamesServerDatabase(path)) {
        runOffThread([&] { DBEngine().CompactDatabase(path, "", options); });
        return;
    }
    std::string target = linkTarget(path);
    std::string backup = BackupName(target), old = SetAsideName(target);
    options.whileLocked = [&] { swapIn(target, backup, old); };
    runOffThread([&] {
        std::remove(backup.c_str());
        DBEngine().CompactDatabase(target, backup, options);
    });
}

bool frmWizRepair::RunMaintenance() {
    int n = lstAppRepairStatus->count();
    std::shared_ptr<CApplication> current;
    // While the run works only Cancel and the close box act: Back would leave it running out of
    // sight, Proceed would start a run inside it.
    QPushButton* const held[] = {btnProceed, btnBack, btnNext, btnFinish, btnCancel};
    bool enabled[std::size(held)];
    for (size_t k = 0; k < std::size(held); ++k) enabled[k] = held[k]->isEnabled();
    for (QPushButton* b : {btnProceed, btnBack, btnNext, btnFinish}) b->setEnabled(false);
    running_ = true;
    stopAsked_ = false;
    auto end = [&](bool ok) {
        ProgressBar1->setVisible(false);
        ProgressBar1->setValue(ProgressBar1->minimum());
        SetPointer(0);
        running_ = false;
        for (size_t k = 0; k < std::size(held); ++k) held[k]->setEnabled(enabled[k]);
        return ok;
    };
    try {
        if (n > 0) lstAppRepairStatus->setCurrentRow(0);
        ProgressBar1->setMinimum(0);
        ProgressBar1->setMaximum(n * kBarSteps);
        ProgressBar1->setVisible(true);
        SetPointer(11);
        for (int i = 0; i < n; ++i) {
            SetPointer(11);
            lstAppRepairStatus->setCurrentRow(i);
            auto entry = g_oApplications->Item(i + 1);
            if (entry->Flag == "Done") continue;
            current = entry;
            std::string path = entry->AppPath;
            ProgressBar1->setValue(i * kBarSteps);
            letEventsRun();
            letEventsRun();
            if (stopAsked_) return end(false);
            if (g_iAction == 2) {
                // Stale files go only when the database itself is there: without it, one of
                // them may hold the only copy of the data. (A schema on a server has no such
                // files; its compaction says itself when it is missing.)
                if (!NamesServerDatabase(path) && !exists(path))
                    throw Error::make(err::kFileNotFound, path);
                // Compaction needs the database to itself, and this program holds the program
                // database (and through its links the System Manager database) open.
                if (!g_dbProgram.isNothing()) {
                    g_dbProgram.Close();
                    g_dbProgram = Database();
                }
                compactInPlace(i, path);
                if (reopen) reopen(path);
            }
            entry->Flag = "Done";
            current.reset();
            ProgressBar1->setValue((i + 1) * kBarSteps);
            if (!FillStatusList()) {
                end(false);
                EndProgram();
                return false;
            }
            letEventsRun();
            if (stopAsked_ && i + 1 < n) return end(false);
        }
        return end(true);
    } catch (const Error& e) {
        if (e.number() == err::kCantRepair || e.number() == err::kUnrecognizedFormat) {
            MsgBox(
                "This database is corrupted or it isn't a Microsoft Jet database.\r\nRestore the "
                "corrupted Microsoft Jet database from a backup copy or create a new database.");
        } else {
            MsgBox(ErrorMessage(e));
        }
        if (current) {
            current->Flag = "Failed";
            FillStatusList();
        }
        return end(false);
    }
}

}  // namespace kelvor::wizard
