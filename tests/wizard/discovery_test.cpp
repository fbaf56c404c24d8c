// Start-up: the installation from the registry, the workgroup file and the program database
// (located by the user, or repaired at once when damaged), and the companies with their
// databases.
#include <gtest/gtest.h>

#include <filesystem>

#include "wizard_fixture.h"

using namespace kelvor;
using namespace kelvor::wizard;
using namespace kelvor::wizard::test;
using kelvor::test::ErrorOf;
using kelvor::test::MessageOf;
using kelvor::test::ReadFile;

namespace {

const char* const kCorrupted =
    "This database is corrupted or it isn't a Microsoft Jet database.\r\nRestore the corrupted "
    "Microsoft Jet database from a backup copy or create a new database.";

// What the engine says when the workspace cannot be made with this workgroup file, in the form
// of the start-up message: number, "-", description.
std::string WorkspaceFailure(const std::string& systemDb) {
    std::string saved = DBEngine().SystemDB();
    DBEngine().SystemDB(systemDb);
    auto make = [] { DBEngine().CreateWorkspace("temporary", "System", kSystemPassword); };
    std::string text = std::to_string(ErrorOf(make)) + "-" + MessageOf(make);
    DBEngine().SystemDB(saved);
    return text;
}

std::string OpenFailure(const std::string& path) {
    auto open = [&] { DBEngine().Workspaces(0).OpenDatabase(path); };
    return std::to_string(ErrorOf(open)) + "-" + MessageOf(open);
}

struct Entry {
    std::string id, path, desc;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << "{" << e.id << ", " << e.path << ", " << e.desc << "}";
}

std::vector<Entry> EntriesOf(const std::string& compId) {
    std::vector<Entry> out;
    auto company = g_oCompanies->Item(compId);
    if (!company) {
        ADD_FAILURE() << "no company " << compId;
        return out;
    }
    auto apps = company->GetApplications();
    for (int i = 1; i <= apps->Count(); ++i) {
        auto a = apps->Item(i);
        EXPECT_EQ(a->Flag, "") << a->AppID;
        out.push_back({a->AppID, a->AppPath, a->AppDesc});
    }
    return out;
}

class DiscoveryTest : public InstallationTest {
  protected:
    std::vector<std::string> CompanyLines() {
        auto* page = LoadedPage<frmWizSelectCompany>();
        if (!page) return {"<no company page>"};
        return Lines(page->lstCompanyList);
    }
    void MoveFile(const std::string& from, const std::string& to) {
        std::filesystem::create_directories(std::filesystem::path(to).parent_path());
        std::filesystem::rename(from, to);
    }
};

}  // namespace

TEST_F(DiscoveryTest, ASampleInstallationOpensWithoutQuestionsAndListsEveryCompanysDatabases) {
    ASSERT_TRUE(Main());
    EXPECT_EQ(messages, std::vector<std::string>{});
    EXPECT_FALSE(LoadedPage<frmWizLocateFiles>());
    EXPECT_FALSE(ProgramEnded());
    EXPECT_EQ(Pointer(), 0);

    EXPECT_EQ(g_sInstallPath, install);
    EXPECT_EQ(g_sSystemDB, Workgroup());
    EXPECT_EQ(DBEngine().SystemDB(), Workgroup());
    EXPECT_FALSE(g_dbProgram.isNothing());

    auto* company = LoadedPage<frmWizSelectCompany>();
    ASSERT_TRUE(company);
    EXPECT_TRUE(company->isVisible());
    EXPECT_EQ(CompanyLines(),
              (std::vector<std::string>{"C01\tHarbor Trading Ltd", "C02\tCedar Foods Inc"}));

    auto file = [&](const std::string& c, const std::string& app) { return CompanyFile(c, app); };
    EXPECT_EQ(EntriesOf("C01"), (std::vector<Entry>{
                                    {"CA", file("C01", "CA"), ""},
                                    {"DT", file("C01", "DT"), "Kelvor Primary Database"},
                                    {"GL", file("C01", "GL"), "General Ledger Database"},
                                    {"SO", file("C01", "SO"), ""},
                                }));
    // The System Manager database and the program database belong to the last company.
    EXPECT_EQ(EntriesOf("C02"), (std::vector<Entry>{
                                    {"CA", file("C02", "CA"), ""},
                                    {"DT", file("C02", "DT"), "Kelvor Primary Database"},
                                    {"GL", file("C02", "GL"), "General Ledger Database"},
                                    {"SO", file("C02", "SO"), ""},
                                    {"SM", SystemManagerDb(), "System Manager Database"},
                                    {"Kelvor", ProgramDb(), "Kelvor Program Database"},
                                }));
}

TEST_F(DiscoveryTest, FileCodesAreUpperCasedAndInstallationFilesJoinTheLastCompanyWithFiles) {
    Execute(SystemManagerDb(),
            {"UPDATE tblSmCompFiles SET AppID = 'so' WHERE CompID = 'C01' AND AppID = 'SO'",
             "UPDATE tblSmCompFiles SET AppID = 'gl' WHERE CompID = 'C02' AND AppID = 'GL'",
             "INSERT INTO tblSmCompInfo (CompID, Name) VALUES ('C03', 'Nordic Motors AB')",
             "INSERT INTO tblSmCompInfo (CompID, Name) VALUES ('C\"4', 'Quartz Print Co')",
             "INSERT INTO tblSmCompFiles VALUES ('C\"4', 'DT', '/q', 'DT.mdb')",
             // Databases on a server: its path and the schema, or the whole path alone.
             "INSERT INTO tblSmCompFiles VALUES ('C\"4', 'GL', 'postgresql://db/acme', 'gl')",
             "INSERT INTO tblSmCompFiles VALUES ('C\"4', 'SO', 'pg:service=acme#so', Null)"});
    ASSERT_TRUE(Main());
    EXPECT_EQ(messages, std::vector<std::string>{});
    // A company without files is listed, but holds nothing; a double quote in a code is data.
    EXPECT_EQ(CompanyLines(),
              (std::vector<std::string>{"C\"4\tQuartz Print Co", "C01\tHarbor Trading Ltd",
                                        "C02\tCedar Foods Inc", "C03\tNordic Motors AB"}));
    EXPECT_EQ(EntriesOf("C03"), std::vector<Entry>{});
    EXPECT_EQ(EntriesOf("C\"4"),
              (std::vector<Entry>{{"DT", "/q/DT.mdb", "Kelvor Primary Database"},
                                  {"GL", "postgresql://db/acme#gl", "General Ledger Database"},
                                  {"SO", "pg:service=acme#so", ""}}));

    auto c01 = EntriesOf("C01");
    ASSERT_EQ(c01.size(), 4u);
    EXPECT_EQ(c01[3], (Entry{"SO", CompanyFile("C01", "SO"), ""}));
    // An upper-cased "gl" is still the General Ledger.
    auto c02 = EntriesOf("C02");
    ASSERT_EQ(c02.size(), 6u);
    EXPECT_EQ(c02[2], (Entry{"GL", CompanyFile("C02", "GL"), "General Ledger Database"}));
    EXPECT_EQ(c02[4].id, "SM");
    EXPECT_EQ(c02[5].id, "Kelvor");
}

TEST_F(DiscoveryTest, AMissingWorkgroupFileIsAskedForUntilOneOpens) {
    std::string moved = dir.file("elsewhere/wg.mdw"), wrong = dir.file("elsewhere/none.mdw");
    MoveFile(Workgroup(), moved);
    std::string first = WorkspaceFailure(Workgroup()), second = WorkspaceFailure(wrong);
    ASSERT_EQ(first.rfind("3028-", 0), 0u) << first;

    ModalScript script;
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        EXPECT_EQ(page->lblProblem->text().toStdString(),
                  "Problem locating the Workgroup Information File Kelvor2000.mdw !");
        EXPECT_EQ(page->lblInstructions->text().toStdString(),
                  "Type the name and location of the item. Or, search for the item by "
                  "clicking Browse.");
        EXPECT_EQ(page->browseFilter().toStdString(),
                  "Workgroup MDW (*.MDW)|*.MDW|Access Database (*.MDB)|*.MDB|All Files "
                  "(*.*)|*.*");
        EXPECT_EQ(page->txtPath->text().toStdString(), "");
        EXPECT_FALSE(page->btnBack->isEnabled());
        // The company page stands behind it.
        auto* backdrop = LoadedPage<frmWizSelectCompany>();
        EXPECT_TRUE(backdrop && backdrop->isVisible());
        EXPECT_EQ(messages, std::vector<std::string>{first + "(Kelvor2000.mdw)"});
        // Next with nothing typed: the page comes again.
        page->btnNext->click();
    });
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        EXPECT_EQ(messages.size(), 1u);
        page->txtPath->setText(QString::fromStdString(wrong));
        page->btnNext->click();
    });
    // A path that fails as well: the message again, then the page, with the path still there.
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        EXPECT_EQ(messages.size(), 2u);
        EXPECT_EQ(page->txtPath->text().toStdString(), wrong);
        page->txtPath->setText(QString::fromStdString(moved));
        page->btnNext->click();
    });
    ASSERT_TRUE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_EQ(messages,
              (std::vector<std::string>{first + "(Kelvor2000.mdw)", second + "(Kelvor2000.mdw)"}));
    EXPECT_EQ(DBEngine().SystemDB(), moved);
    // The company page behind the locate page was made before the companies were read; the
    // one shown now lists them.
    EXPECT_EQ(CompanyLines(),
              (std::vector<std::string>{"C01\tHarbor Trading Ltd", "C02\tCedar Foods Inc"}));
    EXPECT_TRUE(LoadedPage<frmWizSelectCompany>()->isVisible());
    auto* locate = LoadedPage<frmWizLocateFiles>();
    EXPECT_TRUE(!locate || !locate->isVisible());
    EXPECT_EQ(Pointer(), 0);
}

TEST_F(DiscoveryTest, TheLocatedWorkgroupPathIsOfferedWhenTheProgramDatabaseIsMissingToo) {
    std::string movedWorkgroup = dir.file("elsewhere/wg.mdw");
    std::string movedProgram = dir.file("elsewhere/Kelvor4PE.mde");
    MoveFile(Workgroup(), movedWorkgroup);
    MoveFile(ProgramDb(), movedProgram);
    std::string workgroupFailure = WorkspaceFailure(Workgroup()) + "(Kelvor2000.mdw)";
    std::string programFailure = OpenFailure(ProgramDb());

    ModalScript script;
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        page->txtPath->setText(QString::fromStdString(movedWorkgroup));
        page->btnNext->click();
    });
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        EXPECT_EQ(messages, (std::vector<std::string>{workgroupFailure, programFailure}));
        EXPECT_EQ(page->lblProblem->text().toStdString(),
                  "Problem locating Kelvor program database(Kelvor4PE.mde).");
        EXPECT_EQ(page->browseFilter().toStdString(),
                  "Kelvor Program (*.MDE)|*.MDE|Access Database (*.MDB)|*.MDB|All Files "
                  "(*.*)|*.*");
        EXPECT_EQ(page->txtPath->text().toStdString(), movedWorkgroup);
        auto* backdrop = LoadedPage<frmWizSelectCompany>();
        EXPECT_TRUE(backdrop && backdrop->isVisible());
        page->txtPath->setText(QString::fromStdString(movedProgram));
        page->btnNext->click();
    });
    ASSERT_TRUE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_EQ(messages, (std::vector<std::string>{workgroupFailure, programFailure}));
    EXPECT_EQ(g_dbProgram.Name(), movedProgram);
    EXPECT_EQ(CompanyLines(),
              (std::vector<std::string>{"C01\tHarbor Trading Ltd", "C02\tCedar Foods Inc"}));
}

TEST_F(DiscoveryTest, WithoutItsRegistryValuesTheWizardAsksForBothFilesWithoutComplaint) {
    kelvor::test::TempDir emptyRegistry;
    ::setenv("KELVOR_REGISTRY", emptyRegistry.path().c_str(), 1);
    std::string workgroupFailure = WorkspaceFailure("") + "(Kelvor2000.mdw)";
    // The program database is looked for under an empty installation folder.
    std::string programFailure = OpenFailure("/Kelvor4PE.mde");

    ModalScript script;
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        EXPECT_EQ(page->lblProblem->text().toStdString(),
                  "Problem locating the Workgroup Information File Kelvor2000.mdw !");
        page->txtPath->setText(QString::fromStdString(Workgroup()));
        page->btnNext->click();
    });
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        EXPECT_EQ(page->lblProblem->text().toStdString(),
                  "Problem locating Kelvor program database(Kelvor4PE.mde).");
        page->txtPath->setText(QString::fromStdString(ProgramDb()));
        page->btnNext->click();
    });
    ASSERT_TRUE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_EQ(messages, (std::vector<std::string>{workgroupFailure, programFailure}));
    EXPECT_EQ(g_sInstallPath, "");
    EXPECT_EQ(g_sSystemDB, "");
    EXPECT_EQ(CompanyLines(),
              (std::vector<std::string>{"C01\tHarbor Trading Ltd", "C02\tCedar Foods Inc"}));
}

TEST_F(DiscoveryTest, CancelOnTheLocatePageEndsTheProgram) {
    MoveFile(ProgramDb(), dir.file("elsewhere/Kelvor4PE.mde"));
    ModalScript script;
    script.OnPage<frmWizLocateFiles>([](frmWizLocateFiles* page) { page->btnCancel->click(); });
    EXPECT_FALSE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_FALSE(LoadedPage<frmWizSelectCompany>());
    EXPECT_FALSE(LoadedPage<frmWizLocateFiles>());
}

TEST_F(DiscoveryTest, ADamagedWorkgroupFileGoesStraightToItsRepairAndIsLeftAsItWas) {
    std::string junk(5000, 'j');
    WriteFile(Workgroup(), junk);
    std::string failure = WorkspaceFailure(Workgroup());
    ASSERT_EQ(failure.rfind("3343-", 0), 0u) << failure;

    ModalScript script;
    script.OnPage<frmWizRepair>([&](frmWizRepair* page) {
        EXPECT_EQ(messages, std::vector<std::string>{failure + "(Kelvor2000.mdw)"});
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Workgroup Information File", "Pending")});
        ASSERT_EQ(g_oApplications->Count(), 1);
        EXPECT_EQ(g_oApplications->Item(1)->AppID, "WIF");
        EXPECT_EQ(g_oApplications->Item(1)->AppPath, Workgroup());
        EXPECT_EQ(g_iAction, 2);
        // The damaged file is not needed to compact it.
        EXPECT_EQ(DBEngine().SystemDB(), "");
        EXPECT_EQ(page->lblTitle->text().toStdString(), "Repair and Compact Status:");
        EXPECT_TRUE(page->btnBack->isHidden());
        EXPECT_TRUE(page->btnProceed->isEnabled());
        EXPECT_FALSE(page->btnFinish->isVisible());
        auto* backdrop = LoadedPage<frmWizSelectCompany>();
        ASSERT_TRUE(backdrop && backdrop->isVisible());
        EXPECT_EQ(page->pos(), backdrop->pos());

        page->btnProceed->click();
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Workgroup Information File", "Failed")});
        EXPECT_TRUE(page->btnProceed->isEnabled());
        EXPECT_FALSE(page->btnFinish->isVisible());
        page->btnCancel->click();
    });
    EXPECT_FALSE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_EQ(messages, (std::vector<std::string>{failure + "(Kelvor2000.mdw)", kCorrupted,
                                                  "Error occurred !"}));
    EXPECT_EQ(ReadFile(Workgroup()), junk);
    EXPECT_FALSE(FileExists(install + "/Kelvor2000_BK.mdw"));
    EXPECT_FALSE(FileExists(Workgroup() + "_Old"));
    EXPECT_FALSE(LoadedPage<frmWizRepair>());
    EXPECT_EQ(Pointer(), 0);
}

TEST_F(DiscoveryTest, AWorkgroupFileWhoseAccountsNoLongerReadGoesStraightToItsRepair) {
    WriteFile(Workgroup(), DamagePages(ReadFile(Workgroup())));
    std::string failure = WorkspaceFailure(Workgroup());
    ASSERT_EQ(failure.rfind("3173-", 0), 0u) << failure;

    ModalScript script;
    script.OnPage<frmWizRepair>([&](frmWizRepair* page) {
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Workgroup Information File", "Pending")});
        EXPECT_TRUE(page->btnBack->isHidden());
        page->btnCancel->click();
    });
    EXPECT_FALSE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_EQ(messages, std::vector<std::string>{failure + "(Kelvor2000.mdw)"});
    EXPECT_FALSE(LoadedPage<frmWizLocateFiles>());
}

// A database the user located in the workgroup file's place opens, but holds no accounts: the
// direct repair compacts that file, opens it again as start-up does and, since that still
// fails, says so instead of "Done".
TEST_F(DiscoveryTest, ALocatedWorkgroupFileWithoutAccountsIsCompactedAndStillFailsItsRepair) {
    std::string located = dir.file("elsewhere/wg.mdw");
    std::filesystem::create_directories(dir.file("elsewhere"));
    std::filesystem::rename(Workgroup(), dir.file("gone.mdw"));
    std::string missing = WorkspaceFailure(Workgroup()) + "(Kelvor2000.mdw)";
    WriteFile(located, ReadFile(SystemManagerDb()));
    Digest before = ReadDigest(located);
    unsigned long inode = Inode(located);
    std::string failure = WorkspaceFailure(located);
    ASSERT_EQ(failure.rfind("3358-", 0), 0u) << failure;

    ModalScript script;
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        page->txtPath->setText(QString::fromStdString(located));
        page->btnNext->click();
    });
    script.OnPage<frmWizRepair>([&](frmWizRepair* page) {
        EXPECT_EQ(g_oApplications->Item(1)->AppPath, located);
        page->btnProceed->click();
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Workgroup Information File", "Failed")});
        page->btnCancel->click();
    });
    EXPECT_FALSE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_EQ(messages, (std::vector<std::string>{missing, failure + "(Kelvor2000.mdw)", failure,
                                                  "Error occurred !"}));
    EXPECT_NE(Inode(located), inode);
    EXPECT_EQ(ReadDigest(located), before);
    EXPECT_FALSE(FileExists(BackupName(located)));
    EXPECT_FALSE(FileExists(SetAsideName(located)));
}

// Put right while its repair page waits (from a backup, say), a damaged program database is
// compacted, opens again as start-up opens it, and is "Done", closed again behind it.
TEST_F(DiscoveryTest, ADamagedProgramDatabaseGoesStraightToItsRepair) {
    std::string good = ReadFile(ProgramDb());
    WriteFile(ProgramDb(), std::string(6000, 'p'));
    std::string failure = OpenFailure(ProgramDb());
    ASSERT_EQ(failure.rfind("3343-", 0), 0u) << failure;

    ModalScript script;
    script.OnPage<frmWizRepair>([&](frmWizRepair* page) {
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Kelvor Program Database", "Pending")});
        ASSERT_EQ(g_oApplications->Count(), 1);
        EXPECT_EQ(g_oApplications->Item(1)->AppID, "Kelvor");
        EXPECT_EQ(g_oApplications->Item(1)->AppPath, ProgramDb());
        EXPECT_TRUE(page->btnBack->isHidden());
        WriteFile(ProgramDb(), good);
        page->btnProceed->click();
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Kelvor Program Database", "Done")});
        page->btnFinish->click();
    });
    EXPECT_FALSE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_EQ(messages, (std::vector<std::string>{failure, "Process completed."}));
    EXPECT_EQ(IntegrityCheck(ProgramDb()), "ok");
    EXPECT_FALSE(FileExists(install + "/Kelvor4PE.ldb"));
}

TEST_F(DiscoveryTest, WithoutCompaniesTheSystemManagerPseudoCompanyHoldsTheInstallationFiles) {
    Execute(SystemManagerDb(), {"DELETE FROM tblSmCompInfo"});
    ASSERT_TRUE(Main());
    EXPECT_EQ(messages, std::vector<std::string>{});
    EXPECT_EQ(CompanyLines(), std::vector<std::string>{"SM\tRepair System Manager"});
    EXPECT_EQ(EntriesOf("SM"), (std::vector<Entry>{
                                   {"SM", SystemManagerDb(), "System Manager Database"},
                                   {"Kelvor", ProgramDb(), "Kelvor Program Database"},
                               }));
}

TEST_F(DiscoveryTest, WhenTheLinkCannotBeReadOnlyTheLocatedSystemManagerDatabaseIsOffered) {
    std::string smCopy = dir.file("elsewhere/SYSSM1.mdb");
    std::filesystem::create_directories(dir.file("elsewhere"));
    std::filesystem::copy_file(SystemManagerDb(), smCopy);
    Execute(ProgramDb(), {"DROP TABLE tblSmCompFiles"});

    ModalScript script;
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].rfind("3078-", 0), 0u) << messages[0];
        EXPECT_EQ(page->lblProblem->text().toStdString(),
                  "Please specify the path to the System Manager database SYSSM1.mdb");
        EXPECT_EQ(page->browseFilter().toStdString(),
                  "System Manager (*.MDB)|*.MDB|Access Database (*.MDB)|*.MDB|All Files "
                  "(*.*)|*.*");
        EXPECT_EQ(page->txtPath->text().toStdString(), "");
        // Asked on its own, without the company page behind it.
        auto* backdrop = LoadedPage<frmWizSelectCompany>();
        EXPECT_FALSE(backdrop && backdrop->isVisible());
        page->btnNext->click();
    });
    script.OnPage<frmWizLocateFiles>([&](frmWizLocateFiles* page) {
        page->txtPath->setText(QString::fromStdString(smCopy));
        page->btnNext->click();
    });
    ASSERT_TRUE(Main());
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_EQ(messages.size(), 1u);
    // The companies read before the failure are gone.
    EXPECT_EQ(g_oCompanies->Count(), 1);
    EXPECT_EQ(CompanyLines(), std::vector<std::string>{"SM\tRepair System Manager"});
    EXPECT_EQ(EntriesOf("SM"), (std::vector<Entry>{
                                   {"SM", smCopy, "System Manager Database"},
                                   {"Kelvor", ProgramDb(), "Kelvor Program Database"},
                               }));
}

TEST_F(DiscoveryTest, ADamagedSystemManagerDatabaseIsOfferedForRepairOnItsOwn) {
    std::string junk(5000, 's');
    WriteFile(SystemManagerDb(), junk);
    ASSERT_TRUE(Main());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("3343-", 0), 0u) << messages[0];
    EXPECT_FALSE(LoadedPage<frmWizLocateFiles>());
    EXPECT_EQ(CompanyLines(), std::vector<std::string>{"SM\tRepair System Manager"});
    EXPECT_EQ(EntriesOf("SM"), (std::vector<Entry>{
                                   {"SM", SystemManagerDb(), "System Manager Database"},
                                   {"Kelvor", ProgramDb(), "Kelvor Program Database"},
                               }));
    EXPECT_EQ(ReadFile(SystemManagerDb()), junk);
}

TEST_F(DiscoveryTest, AProgramDatabaseWhoseLinkedFilesAreGoneEndsTheProgramAfterTheMessage) {
    std::filesystem::rename(SystemManagerDb(), dir.file("SYSSM1.mdb"));
    EXPECT_FALSE(Main());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("3024-", 0), 0u) << messages[0];
    EXPECT_FALSE(LoadedPage<frmWizSelectCompany>());
    EXPECT_EQ(Pointer(), 0);
}
