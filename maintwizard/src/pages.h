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

  protected:
    QWidget* body;  // where a page puts its own controls
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
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
    bool RunMaintenance();

  private:
    bool pending_ = false;
    void Form_Activate() override;
    void btnProceed_Click();
};

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
