// The About box both servers show and the registry helper it reads with.
#pragma once

#include <QWidget>
#include <string>

#include "kelvor/registry.h"

class QLabel;
class QPushButton;
class QFrame;

namespace kelvor::forms {

// Reads one registry value as text: type 1 as it is, type 4 as decimal text; false (and "")
// when the key cannot be opened with all access or the value cannot be read.
bool GetKeyValue(HKEY KeyRoot, const std::string& KeyName, const std::string& SubKeyRef,
                 std::string& KeyVal);

// Starts the system information tool the registry names, or says that it cannot.
void StartSysInfo();

class frmAbout : public QWidget {
    Q_OBJECT
  public:
    // `caption`: the window caption; `title`: lblTitle's text.
    frmAbout(const QString& caption, const QString& title, QWidget* parent = nullptr);

    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblDescription;
    QLabel* lblDisclaimer;
    QLabel* Image1;
    QFrame* Line1;
    QPushButton* cmdOK;
    QPushButton* cmdSysInfo;
};

}  // namespace kelvor::forms
