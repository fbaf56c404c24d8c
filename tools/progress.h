// Long work on the command line: a progress line on standard error while that is a terminal
// (nothing otherwise, so logs stay clean), and Ctrl-C turned into err::kUserInterrupt, thrown
// at the work's next report, so that the work cleans up as after any failure (a compaction
// removes its copy, a transaction rolls back) instead of dying half-way. A second Ctrl-C ends
// the program at once, as it would without any of this.
#pragma once

#include <functional>
#include <string>

namespace kelvor::tool {

class Progress {
  public:
    // Catches Ctrl-C from now on; `label` begins the line ("Compacting DT.mdb").
    explicit Progress(std::string label);
    // Erases the line and gives Ctrl-C back its former handling.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Shows label + ": " + text() (made at most ten times a second, and only for a terminal).
    // Throws Error(err::kUserInterrupt) once Ctrl-C has been pressed.
    void report(const std::function<std::string()>& text);

  private:
    std::string label_;
    bool terminal_;
    bool shown_ = false;
    long reports_ = 0;
    long long lastShown_ = 0;
};

// Ctrl-C was pressed during long work: main ends the program by the signal once it has said so.
bool Interrupted();

}  // namespace kelvor::tool
