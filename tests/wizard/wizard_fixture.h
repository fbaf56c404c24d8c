// Shared by the wizard's tests: a fresh wizard per test with its message boxes recorded, a
// sample installation to discover, a way to answer the pages start-up shows modally, and
// checks on the database files a run leaves behind.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "installation.h"
#include "pages.h"
#include "test_util.h"
#include "wizard.h"

namespace kelvor::wizard::test {

// Every test starts with the state of a program that has just started; message boxes are
// recorded in `messages` instead of waiting for a click.
class WizardTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::vector<std::string> messages;
};

// A sample installation in a temporary folder, with the registry pointing at it.
class InstallationTest : public WizardTest {
  protected:
    void SetUp() override;
    virtual InstallationOptions Options() const { return {2, 20, ""}; }

    kelvor::test::TempDir dir;
    std::string install;  // the installation folder
    std::string Workgroup() const { return install + "/Kelvor2000.mdw"; }
    std::string ProgramDb() const { return install + "/Kelvor4PE.mde"; }
    std::string SystemManagerDb() const { return install + "/SYSSM1.mdb"; }
    std::string CompanyFile(const std::string& compId, const std::string& app) const {
        return install + "/companies/" + compId + "/" + app + ".mdb";
    }
    // Runs statements on a database of the installation, outside the wizard.
    void Execute(const std::string& path, const std::vector<std::string>& statements);

    // Main, then the company with this code, the databases at these rows and the action page:
    // the repair page as the user reaches it.
    frmWizRepair* GoToRepairPage(const std::string& compId, const std::vector<int>& rows);
    void SelectCompany(const std::string& compId);
    void SelectRows(QListWidget* list, const std::vector<int>& rows);
};

// Answers the pages that start-up shows modally (the locate page, the direct repair): each
// step waits until its page is visible, then acts on it, usually ending with a click that
// hides the page. A wizard that waits on a page no step answers is ended after a while, so a
// fault fails the test instead of hanging it.
class ModalScript {
  public:
    ModalScript();
    ~ModalScript();
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    void Then(std::function<bool()> ready, std::function<void()> action);
    template <typename T>
    void OnPage(std::function<void(T*)> action) {
        Then(
            [] {
                T* p = LoadedPage<T>();
                return p && p->isVisible();
            },
            [action] { action(LoadedPage<T>()); });
    }
    size_t Remaining() const { return steps_.size(); }

  private:
    void tick();
    QTimer timer_;
    QElapsedTimer clock_;
    std::deque<std::pair<std::function<bool()>, std::function<void()>>> steps_;
    bool busy_ = false;
};

// Runs `action` once `ready` holds, from the event loop (for dialogs that run their own); given
// up with `context`.
void WhenReady(QObject* context, std::function<bool()> ready, std::function<void()> action);

// The lines of a list widget, and the rows selected in it.
std::vector<std::string> Lines(const QListWidget* list);
std::vector<int> SelectedRows(const QListWidget* list);

// A status line as the repair page lists it: the description in a 38-character column.
std::string StatusLine(const std::string& desc, const std::string& flag);

bool FileExists(const std::string& path);
// The file's inode: a file replaced by a rename gets another one.
unsigned long Inode(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// A database file whose pages past the first two no longer read: it still starts as one.
std::string DamagePages(const std::string& data);

// Every row of every table of a database file, read with SQLite itself: equal digests mean
// the same rows.
using Digest = std::map<std::string, std::vector<std::string>>;
Digest ReadDigest(const std::string& path);
size_t RowCount(const Digest& d);
// SQLite's PRAGMA integrity_check on the file: "ok" for a sound file.
std::string IntegrityCheck(const std::string& path);

// Makes every rename of `from` fail with EACCES, as a permission change would, until cleared;
// every other rename goes through.
void FailRenameFrom(const std::string& from);
void ClearRenameFault();
// Calls `before` (on whichever thread renames) each time `from` is about to be renamed, until
// cleared with an empty function.
void OnRenameFrom(const std::string& from, std::function<void()> before);

}  // namespace kelvor::wizard::test
