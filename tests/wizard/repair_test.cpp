// The repair page and its run: each chosen database compacted into a copy that takes its
// place, a status per entry, and no data lost when something goes wrong.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <regex>

#include "wizard_fixture.h"

using namespace kelvor;
using namespace kelvor::wizard;
using namespace kelvor::wizard::test;
using kelvor::test::ReadFile;
using kelvor::test::StartLockHolder;

namespace {

const char* const kCorrupted =
    "This database is corrupted or it isn't a Microsoft Jet database.\r\nRestore the corrupted "
    "Microsoft Jet database from a backup copy or create a new database.";

class RepairTest : public InstallationTest {
  protected:
    InstallationOptions Options() const override { return {2, 30, ""}; }

    // Neither of the run's own files is left beside the database.
    void ExpectNoRunFiles(const std::string& path) {
        EXPECT_FALSE(FileExists(BackupName(path))) << BackupName(path);
        EXPECT_FALSE(FileExists(SetAsideName(path))) << SetAsideName(path);
    }
    // The database was replaced by a sound copy holding the same rows.
    void ExpectCompacted(const std::string& path, const Digest& before, unsigned long inode) {
        SCOPED_TRACE(path);
        EXPECT_NE(Inode(path), inode) << "not replaced";
        EXPECT_EQ(IntegrityCheck(path), "ok");
        EXPECT_EQ(ReadDigest(path), before);
        ExpectNoRunFiles(path);
    }
};

}  // namespace

TEST_F(RepairTest, AFullRunCompactsEveryChosenDatabaseInPlaceWithItsRowsUnchanged) {
    std::vector<std::string> paths = {CompanyFile("C02", "CA"), CompanyFile("C02", "DT"),
                                      CompanyFile("C02", "GL"), CompanyFile("C02", "SO"),
                                      SystemManagerDb(),        ProgramDb()};
    std::vector<Digest> before;
    std::vector<unsigned long> inodes;
    for (const auto& p : paths) {
        before.push_back(ReadDigest(p));
        inodes.push_back(Inode(p));
    }
    ASSERT_GT(RowCount(before[1]), 30u);
    ASSERT_GT(RowCount(before[4]), 0u);

    frmWizRepair* repair = GoToRepairPage("C02", {0, 1, 2, 3, 4, 5});
    ASSERT_TRUE(repair);
    // The wizard holds the program database, and through its links the System Manager
    // database, open until the run begins.
    ASSERT_FALSE(g_dbProgram.isNothing());
    repair->btnProceed->click();

    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{
                  StatusLine("", "Done"), StatusLine("Kelvor Primary Database", "Done"),
                  StatusLine("General Ledger Database", "Done"), StatusLine("", "Done"),
                  StatusLine("System Manager Database", "Done"),
                  StatusLine("Kelvor Program Database", "Done")}));
    for (size_t i = 0; i < paths.size(); ++i) ExpectCompacted(paths[i], before[i], inodes[i]);
    EXPECT_FALSE(repair->btnProceed->isEnabled());
    EXPECT_TRUE(repair->btnFinish->isVisible());
    EXPECT_FALSE(repair->ProgressBar1->isVisible());
    EXPECT_EQ(repair->ProgressBar1->maximum(), 6 * 100);  // a hundred steps per database
    EXPECT_EQ(repair->ProgressBar1->value(), repair->ProgressBar1->minimum());
    EXPECT_EQ(Pointer(), 0);

    repair->btnFinish->click();
    EXPECT_TRUE(ProgramEnded());
    EXPECT_FALSE(LoadedPage<frmWizRepair>());
}

TEST_F(RepairTest, ADamagedDatabaseStopsTheRunAndProceedAgainSkipsWhatIsDone) {
    std::string ca = CompanyFile("C01", "CA"), dt = CompanyFile("C01", "DT"),
                gl = CompanyFile("C01", "GL"), so = CompanyFile("C01", "SO");
    std::map<std::string, Digest> before;
    for (const auto& p : {ca, dt, gl, so}) before[p] = ReadDigest(p);
    std::string dtBytes = ReadFile(dt), glBytes = ReadFile(gl);
    std::string junk(5000, 'j');
    WriteFile(dt, junk);

    frmWizRepair* repair = GoToRepairPage("C01", {0, 1, 2, 3});
    ASSERT_TRUE(repair);
    unsigned long caInode = Inode(ca), glInode = Inode(gl), soInode = Inode(so);
    repair->btnProceed->click();

    EXPECT_EQ(messages, (std::vector<std::string>{kCorrupted, "Error occurred !"}));
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{
                  StatusLine("", "Done"), StatusLine("Kelvor Primary Database", "Failed"),
                  StatusLine("General Ledger Database", "Pending"), StatusLine("", "Pending")}));
    ExpectCompacted(ca, before[ca], caInode);
    EXPECT_EQ(ReadFile(dt), junk);
    ExpectNoRunFiles(dt);
    // The entries after the failure were not touched.
    EXPECT_EQ(Inode(gl), glInode);
    EXPECT_EQ(ReadFile(gl), glBytes);
    ExpectNoRunFiles(gl);
    EXPECT_EQ(Inode(so), soInode);
    // The user can try again.
    EXPECT_TRUE(repair->btnProceed->isEnabled());
    EXPECT_FALSE(repair->btnFinish->isVisible());
    EXPECT_FALSE(repair->ProgressBar1->isVisible());
    EXPECT_EQ(repair->ProgressBar1->value(), repair->ProgressBar1->minimum());
    EXPECT_EQ(Pointer(), 0);

    // The database restored, and another one with pages that no longer read: the done entry
    // is skipped, the failed one is tried again, and the run stops at the next damage.
    WriteFile(dt, dtBytes);
    WriteFile(gl, DamagePages(glBytes));
    std::string damagedGl = ReadFile(gl);
    caInode = Inode(ca);
    unsigned long dtInode = Inode(dt);
    messages.clear();
    repair->btnProceed->click();
    EXPECT_EQ(messages, (std::vector<std::string>{kCorrupted, "Error occurred !"}));
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{
                  StatusLine("", "Done"), StatusLine("Kelvor Primary Database", "Done"),
                  StatusLine("General Ledger Database", "Failed"), StatusLine("", "Pending")}));
    EXPECT_EQ(Inode(ca), caInode) << "a done entry was compacted again";
    ExpectCompacted(dt, before[dt], dtInode);
    EXPECT_EQ(ReadFile(gl), damagedGl);
    ExpectNoRunFiles(gl);
    EXPECT_EQ(Inode(so), soInode);

    WriteFile(gl, glBytes);
    glInode = Inode(gl);
    dtInode = Inode(dt);
    messages.clear();
    repair->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{
                  StatusLine("", "Done"), StatusLine("Kelvor Primary Database", "Done"),
                  StatusLine("General Ledger Database", "Done"), StatusLine("", "Done")}));
    EXPECT_EQ(Inode(ca), caInode);
    EXPECT_EQ(Inode(dt), dtInode);
    ExpectCompacted(gl, before[gl], glInode);
    ExpectCompacted(so, before[so], soInode);
    EXPECT_FALSE(repair->btnProceed->isEnabled());
    EXPECT_TRUE(repair->btnFinish->isVisible());
}

TEST_F(RepairTest, ADatabaseSomeoneElseHasOpenIsRefusedAndLeftAsItWas) {
    std::string gl = CompanyFile("C01", "GL");
    Digest before = ReadDigest(gl);
    std::string bytes = ReadFile(gl);
    auto other = StartLockHolder();
    ASSERT_EQ(other->ask("open " + gl), "ok");

    frmWizRepair* repair = GoToRepairPage("C01", {2});
    ASSERT_TRUE(repair);
    unsigned long inode = Inode(gl);
    repair->btnProceed->click();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("3356-", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1], "Error occurred !");
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("General Ledger Database", "Failed")});
    EXPECT_EQ(Inode(gl), inode);
    EXPECT_EQ(ReadFile(gl), bytes);
    ExpectNoRunFiles(gl);

    // Once the other user has gone, it can be compacted.
    other.reset();
    before = ReadDigest(gl);
    inode = Inode(gl);
    messages.clear();
    repair->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    ExpectCompacted(gl, before, inode);
}

TEST_F(RepairTest, WhenARenameFailsTheDatabaseStaysUnderItsOwnName) {
    std::string dt = CompanyFile("C01", "DT");
    Digest before = ReadDigest(dt);
    std::string bytes = ReadFile(dt);
    std::string backup = CompanyFile("C01", "DT_BK");
    ASSERT_EQ(BackupName(dt), backup);

    // The database cannot be moved aside: it stays, with its compacted copy beside it.
    FailRenameFrom(dt);
    frmWizRepair* repair = GoToRepairPage("C01", {1});
    ASSERT_TRUE(repair);
    repair->btnProceed->click();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(std::regex_match(messages[0], std::regex("[0-9]+-.+"))) << messages[0];
    EXPECT_EQ(messages[1], "Error occurred !");
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("Kelvor Primary Database", "Failed")});
    EXPECT_EQ(ReadFile(dt), bytes);
    EXPECT_FALSE(FileExists(SetAsideName(dt)));
    ASSERT_TRUE(FileExists(backup));
    EXPECT_EQ(ReadDigest(backup), before);

    // The copy cannot take the database's name: the database goes back under its own.
    FailRenameFrom(backup);
    messages.clear();
    repair->btnProceed->click();
    ASSERT_EQ(messages.size(), 2u);
    // The message says where each file is.
    EXPECT_NE(messages[0].find(dt + ";"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find(backup), std::string::npos) << messages[0];
    EXPECT_EQ(messages[1], "Error occurred !");
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("Kelvor Primary Database", "Failed")});
    EXPECT_EQ(ReadFile(dt), bytes);
    EXPECT_FALSE(FileExists(SetAsideName(dt)));
    ASSERT_TRUE(FileExists(backup));
    EXPECT_EQ(IntegrityCheck(backup), "ok");
    EXPECT_EQ(ReadDigest(backup), before);

    // Tried again, the old copy makes way for a new one.
    ClearRenameFault();
    unsigned long inode = Inode(dt);
    messages.clear();
    repair->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    ExpectCompacted(dt, before, inode);
}

TEST_F(RepairTest, StaleRunFilesGoOnlyWhenTheDatabaseItselfIsThere) {
    std::string dt = CompanyFile("C01", "DT"), gl = CompanyFile("C01", "GL");
    Digest dtBefore = ReadDigest(dt);
    unsigned long dtInode = Inode(dt);
    WriteFile(BackupName(dt), "half a copy from a run that was stopped");
    WriteFile(SetAsideName(dt), "the set-aside file of a finished run");
    // A run that stopped between its two renames: the data is only under the set-aside name.
    std::string glBytes = ReadFile(gl);
    std::filesystem::rename(gl, SetAsideName(gl));
    WriteFile(BackupName(gl), "half a copy");

    frmWizRepair* repair = GoToRepairPage("C01", {1, 2});
    ASSERT_TRUE(repair);
    repair->btnProceed->click();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(std::regex_match(messages[0], std::regex("[0-9]+-.+"))) << messages[0];
    EXPECT_EQ(messages[1], "Error occurred !");
    EXPECT_EQ(Lines(repair->lstAppRepairStatus),
              (std::vector<std::string>{StatusLine("Kelvor Primary Database", "Done"),
                                        StatusLine("General Ledger Database", "Failed")}));
    ExpectCompacted(dt, dtBefore, dtInode);
    EXPECT_FALSE(FileExists(gl));
    EXPECT_EQ(ReadFile(SetAsideName(gl)), glBytes);
    EXPECT_EQ(ReadFile(BackupName(gl)), "half a copy");
}

namespace {

// Holds a run's worker at its first hold() until the test opens it; meanwhile the test acts on
// the window from the run's own event loop. A gate never opened gives way after a bound,
// failing the test instead of hanging it.
struct Gate {
    std::atomic<bool> held{false};
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    void hold() {
        if (!held.exchange(true) &&
            opened.wait_for(std::chrono::seconds(15)) != std::future_status::ready)
            ADD_FAILURE() << "the test never let the run go on";
    }
};

}  // namespace

// While a run works, the window answers but only Cancel and the close box act, and they stop
// the run once the database in progress has taken its place: at any moment the files are whole
// and the statuses say what was done. Between the copy and the swap the database stays locked:
// a second user's write is refused, never lost. The databases belong to another account, with
// a mode of their own, and GL is reached through a symbolic link: what a run replaces keeps
// owner, group and mode, and the link stays, its target replaced.
TEST_F(RepairTest, ClicksDuringARunLeaveWholeFilesAndCancelWaitsForTheDatabaseInProgress) {
    enum Act { kCancel, kCloseBox, kOthers };
    const struct {
        const char* name;
        bool atSwap;  // held between the copy and the swap, or while the copy is made
        Act act;
    } cases[] = {
        {"Cancel while compacting", false, kCancel},
        {"the close box while compacting", false, kCloseBox},
        {"Cancel before the swap", true, kCancel},
        {"Back, Proceed, Enter and another user's write before the swap", true, kOthers},
    };
    std::string dt = CompanyFile("C01", "DT"), gl = CompanyFile("C01", "GL");
    std::string glTarget = dir.file("store/gl-data.mdb");
    std::filesystem::create_directories(dir.file("store"));
    std::filesystem::rename(gl, glTarget);
    ASSERT_EQ(::symlink(glTarget.c_str(), gl.c_str()), 0);
    for (const auto& f : {dt, glTarget}) {
        ASSERT_EQ(::chown(f.c_str(), 4321, 8765), 0) << "the tests run as root";
        ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    }
    auto expectOwnerAndMode = [](const std::string& path) {
        struct stat sb;
        ASSERT_EQ(::stat(path.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_uid, 4321u);
        EXPECT_EQ(sb.st_gid, 8765u);
        EXPECT_EQ(sb.st_mode & 07777, 0640u) << path;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetForTest();
        messages.clear();
        Digest dtBefore = ReadDigest(dt), glBefore = ReadDigest(gl);
        unsigned long dtInode = Inode(dt), glInode = Inode(gl);
        auto other = c.act == kOthers ? StartLockHolder() : nullptr;
        frmWizRepair* repair = GoToRepairPage("C01", {1, 2});
        ASSERT_TRUE(repair);

        // Held at the swap's first rename, or at a progress report in the middle of the copy.
        Gate gate;
        if (c.atSwap) {
            OnRenameFrom(dt, [&] { gate.hold(); });
        } else {
            TEST_SetCompactionHook([&](uint64_t done, uint64_t total) {
                if (done > 0 && done < total) gate.hold();
            });
        }
        // The bar stands within the first of two databases: at its end once it is copied.
        auto barReady = [&] {
            int v = repair->ProgressBar1->value(), half = repair->ProgressBar1->maximum() / 2;
            return c.atSwap ? v == half : v > 0 && v < half;
        };
        WhenReady(
            repair, [&] { return gate.held && barReady(); },
            [&] {
                EXPECT_TRUE(repair->ProgressBar1->isVisible());
                EXPECT_EQ(Pointer(), 11);
                for (QPushButton* b : {repair->btnProceed, repair->btnBack, repair->btnFinish})
                    EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
                if (c.act == kCancel) repair->btnCancel->click();
                if (c.act == kCloseBox) repair->close();
                if (c.act == kOthers) {
                    repair->btnBack->click();
                    repair->btnProceed->click();
                    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                    QApplication::sendEvent(repair->lstAppRepairStatus, &enter);
                    EXPECT_EQ(other->ask("open " + dt), "error 3045");
                }
                gate.open.set_value();
            });
        repair->btnProceed->click();
        OnRenameFrom("", {});
        TEST_SetCompactionHook({});

        ExpectCompacted(dt, dtBefore, dtInode);
        expectOwnerAndMode(dt);
        EXPECT_EQ(g_oApplications->Item(1)->Flag, "Done");
        if (c.act == kOthers) {
            EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
            EXPECT_FALSE(ProgramEnded());
            EXPECT_TRUE(repair->isVisible());
            ExpectCompacted(glTarget, glBefore, glInode);
            expectOwnerAndMode(glTarget);
            EXPECT_EQ(std::filesystem::read_symlink(gl), glTarget);
            ExpectNoRunFiles(gl);
            EXPECT_EQ(g_oApplications->Item(2)->Flag, "Done");
            // Now the write goes through, and stays.
            EXPECT_EQ(other->ask("open " + dt), "ok");
            EXPECT_EQ(other->ask("exec 0 CREATE TABLE tblWritten (x INTEGER)"), "ok");
            other.reset();
            EXPECT_EQ(ReadDigest(dt).count("tblWritten"), 1u);
        } else {
            EXPECT_EQ(messages, std::vector<std::string>{});
            EXPECT_TRUE(ProgramEnded());
            EXPECT_FALSE(LoadedPage<frmWizRepair>());
            EXPECT_EQ(g_oApplications->Item(2)->Flag, "Pending");
            EXPECT_EQ(Inode(gl), glInode);
            ExpectNoRunFiles(gl);
        }
        EXPECT_EQ(Pointer(), 0);
    }
}

namespace {

// The repair page on a run list made by hand.
class RepairPageTest : public WizardTest {
  protected:
    frmWizRepair* ShowRepairPage(int16_t action) {
        g_iAction = action;
        auto* page = Page<frmWizRepair>();
        page->show();
        return page;
    }
    kelvor::test::TempDir dir;
};

}  // namespace

TEST_F(RepairPageTest, StatusLinesHoldTheDescriptionInA38CharacterColumn) {
    g_oApplications->Add("A", dir.file("a.mdb"), "", "Done");
    g_oApplications->Add("B", dir.file("b.mdb"), std::string(37, 'b'), "Failed");
    g_oApplications->Add("C", dir.file("c.mdb"), std::string(38, 'c'), "");
    g_oApplications->Add("D", dir.file("d.mdb"), std::string(38, 'd') + "-cut-off", "Pending");
    auto* page = ShowRepairPage(2);
    EXPECT_EQ(Lines(page->lstAppRepairStatus),
              (std::vector<std::string>{
                  std::string(38, ' ') + "\tDone", std::string(37, 'b') + " \tFailed",
                  std::string(38, 'c') + "\t", std::string(38, 'd') + "\tPending"}));
    EXPECT_EQ(page->lblTitle->text().toStdString(), "Repair and Compact Status:");

    // The heading follows the action each time the page comes back.
    page->hide();
    g_iAction = 0;
    page->show();
    EXPECT_EQ(page->lblTitle->text().toStdString(), "Repair Status:");
    page->hide();
    g_iAction = 1;
    page->show();
    EXPECT_EQ(page->lblTitle->text().toStdString(), "Compact Status:");
}

TEST_F(RepairPageTest, DoneEntriesAreNeverTouchedAndTheOtherActionsTouchNoFile) {
    // Done entries: nothing happens to them, even when their files are gone.
    g_oApplications->Add("DT", dir.file("gone/DT.mdb"), "Kelvor Primary Database", "Done");
    g_oApplications->Add("GL", dir.file("gone/GL.mdb"), "General Ledger Database", "Done");
    auto* page = ShowRepairPage(2);
    EXPECT_TRUE(page->RunMaintenance());
    EXPECT_EQ(messages, std::vector<std::string>{});

    ResetForTest();
    std::string db = dir.file("DT.mdb");
    kelvor::test::CreateAndOpen(db).Execute("CREATE TABLE t (x INTEGER)");
    unsigned long inode = Inode(db);
    std::string bytes = ReadFile(db);
    g_oApplications->Add("DT", db, "Kelvor Primary Database", "Pending");
    page = ShowRepairPage(1);
    page->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    EXPECT_EQ(Lines(page->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("Kelvor Primary Database", "Done")});
    EXPECT_EQ(Inode(db), inode);
    EXPECT_EQ(ReadFile(db), bytes);
    EXPECT_FALSE(FileExists(dir.file("DT_BK.mdb")));
}

TEST_F(RepairPageTest, AFileNameWithoutADotFailsItsEntryAndStopsTheRun) {
    std::string noDot = dir.file("SYSSM1"), db = dir.file("GL.mdb");
    kelvor::test::CreateAndOpen(noDot).Execute("CREATE TABLE t (x INTEGER)");
    kelvor::test::CreateAndOpen(db).Execute("CREATE TABLE t (x INTEGER)");
    std::string noDotBytes = ReadFile(noDot);
    unsigned long inode = Inode(db);
    g_oApplications->Add("SM", noDot, "System Manager Database", "Pending");
    g_oApplications->Add("GL", db, "General Ledger Database", "Pending");
    auto* page = ShowRepairPage(2);
    page->btnProceed->click();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(std::regex_match(messages[0], std::regex("[0-9]+-.+"))) << messages[0];
    EXPECT_EQ(messages[1], "Error occurred !");
    EXPECT_EQ(Lines(page->lstAppRepairStatus),
              (std::vector<std::string>{StatusLine("System Manager Database", "Failed"),
                                        StatusLine("General Ledger Database", "Pending")}));
    EXPECT_EQ(ReadFile(noDot), noDotBytes);
    EXPECT_FALSE(FileExists(noDot + "_Old"));
    EXPECT_EQ(Inode(db), inode);
    EXPECT_TRUE(page->btnProceed->isEnabled());
}
