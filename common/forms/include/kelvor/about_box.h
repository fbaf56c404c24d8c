// The About box both servers show, the registry helper it reads with, and the choice of a
// display for a server that may have none.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "kelvor/registry.h"

class QLabel;
class QPushButton;
class QFrame;

namespace kelvor::forms {

// Call before the application object is made. Without a display (no DISPLAY or
// WAYLAND_DISPLAY, and no platform asked for in QT_QPA_PLATFORM) Qt is set to draw offscreen
// and false is returned: the server then shows no windows. A display that is named but cannot
// be reached falls back to drawing offscreen too, and HasDisplay() then says so.
bool PrepareDisplay();
bool HasDisplay();

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

// Shows the process's one About box (made on first use), not modal. Returns -1 when shown, 0
// when it could not be (no display). `loaded` is told when the box is made and when it goes.
int16_t ShowAbout(const QString& caption, const QString& title,
                  const std::function<void(bool loaded)>& loaded = {});

}  // namespace kelvor::forms
