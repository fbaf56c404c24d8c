// The wizard's pages: fixed-size windows that replace one another at one screen position.
// Controls carry the names the pages have always had, as Qt object names.
#pragma once

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

namespace kelvor::wizard {

class WizardPage : public QWidget {
    Q_OBJECT
  public:
    explicit WizardPage(const char* name);
    QPushButton* btnHelp;
    QPushButton* btnBack;
    QPushButton* btnNext;
    QPushButton* btnCancel;
    // Shows the page in front of everyone; modal pages wait here until they are hidden.
    void showPage();
    void showModal(QWidget* owner);
    void storePosition();
    void moveToStored();
    // Before any page has stored a position, pages open at the centre of the screen.
    void centreOnScreen();

  protected:
    QWidget* body;  // where a page puts its own controls
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    // Enter that no control takes (a list, a text box) clicks the page's default button.
    void keyPressEvent(QKeyEvent* e) override;
    virtual QPushButton* defaultButton() const { return btnNext; }
    virtual void Form_Activate() {}
    bool loaded_ = false;
};

class frmWizSelectCompany : public WizardPage {
    Q_OBJECT
  public:
    frmWizSelectCompany();
    QLabel* lblInstruction;
    QListWidget* lstCompanyList;

  private:
    void Form_Activate() override;
    void btnNext_Click();
};

class frmWizSelectApp : public WizardPage {
    Q_OBJECT
  public:
    frmWizSelectApp();
    QLabel* lblInstructions;
    QListWidget* lstApplications;
    QCheckBox* chkIncludeProgrDB;
    bool FillApplicationList();

  private:
    std::string listed_;  // the company whose databases the list shows
    void Form_Activate() override;
    void btnBack_Click();
    void btnNext_Click();
};

class frmWizSelectAction : public WizardPage {
    Q_OBJECT
  public:
    frmWizSelectAction();
    QGroupBox* fmeActionType;
    QRadioButton* optRepairNCompact;
    QRadioButton* optCompactOnly;
    QRadioButton* optRepairOnly;
    QLabel* Label1;

  private:
    void Form_Activate() override;
};

class frmWizLocateFiles : public WizardPage {
    Q_OBJECT
  public:
    frmWizLocateFiles();
    QLabel* lblProblem;
    QLabel* lblInstructions;
    QLineEdit* txtPath;
    QPushButton* btnBrowse;
    QFileDialog* dlgDialog1;
    // The filter the browse dialog gets, in the order it lists the file types.
    QString browseFilter() const;

  private:
    QString lastFile_;
    void Form_Activate() override;
    void btnBrowse_Click();
    void btnNext_Click();
};

class frmWizRepair : public WizardPage {
    Q_OBJECT
  public:
    frmWizRepair();
    QLabel* lblTitle;
    QLabel* lblApplication;
    QLabel* lblStatus;
    QListWidget* lstAppRepairStatus;
    QProgressBar* ProgressBar1;
    QPushButton* btnProceed;
    QPushButton* btnFinish;
    bool FillStatusList();
    // Works through the list; true when every entry was processed without error. Each file is
    // compacted on a thread of its own while the window goes on answering; meanwhile Proceed,
    // Back, Next and Finish are disabled.
    bool RunMaintenance();
    bool running() const { return running_; }
    // Cancel, the close box or the end of the program during a run: the run stops once the
    // database in progress has taken its place (or failed), and Proceed's handler then ends the
    // program. A compaction is never left half-swapped.
    void stopAfterThisDatabase();
    // Set by a direct repair: opens the repaired file as start-up does and throws Error when
    // it still cannot be opened, so that such a file is "Failed", not "Done".
    std::function<void(const std::string& path)> reopen;

  protected:
    QPushButton* defaultButton() const override;

  private:
    bool pending_ = false;
    bool running_ = false;
    bool stopAsked_ = false;
    QWidget* headings_;
    void Form_Activate() override;
    void btnProceed_Click();
    void alignHeadings();
    void compactInPlace(int line, const std::string& path);
};

// For tests and the screenshot tool: told of each progress report of a run's compaction
// (pages done of pages to do, as the engine reports them) on the compacting thread, after the
// window has been sent it. A database's last report (done == total) comes while it is still
// locked, before its copy takes its place. A hook that waits holds the run there.
void TEST_SetCompactionHook(std::function<void(uint64_t done, uint64_t total)> hook);

// The pages of this process: made on first use, kept while the user goes back and forth.
template <typename T>
T* Page();
// Whether a page exists now, and unloading one (it is made afresh when shown again).
template <typename T>
T* LoadedPage();
template <typename T>
void UnloadPage();
void UnloadAllPages();

}  // namespace kelvor::wizard
