// The display of a server. A server process never connects to a display itself: Qt ends a
// process whose X connection breaks, and an update must outlive the display it was started
// from. Its windows (the About box, message boxes) are shown by a child process that runs the
// same program with "--show-form"; that child, not the server, goes with the display.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

namespace kelvor::forms {

// Call before the application object is made. Notes whether a display is named (DISPLAY,
// WAYLAND_DISPLAY, or a platform asked for in QT_QPA_PLATFORM) for the windows' process, and
// sets this process to draw offscreen. Returns whether a display is named.
bool PrepareDisplay();
// Whether a display is named. One that cannot be reached shows nothing: each window asked for
// then reports that it was not shown.
bool HasDisplay();

// Shows the process's one About box, not modal. Returns -1 when shown, 0 when it could not be
// (no display, or one that cannot be opened). `loaded` is told when the box appears and when
// it goes.
int16_t ShowAbout(const QString& caption, const QString& title,
                  const std::function<void(bool loaded)>& loaded = {});

// A message box with the critical-stop icon and OK only, waited for as a modal box is (the
// event loop runs meanwhile); nothing without a display.
void ShowMessageBox(const QString& title, const QString& text);

// When argv asks for a window ("--show-form ..."), shows it and returns the process's exit
// status; otherwise returns -1 at once.
int RunWindowProcess(int argc, char** argv);

}  // namespace kelvor::forms
