// The repair page on a database kept on the tests' private PostgreSQL cluster: compacted in
// place with the status a file gets, and refused while someone has it open.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <string>

#include "pg/locks.h"
#include "pg/pg_cluster.h"
#include "wizard_fixture.h"

using namespace kelvor::wizard;
using namespace kelvor::wizard::test;
using kelvor::test::Conn, kelvor::test::Connect, kelvor::test::Scalar;

namespace {

class ServerRepairTest : public WizardTest {};

}  // namespace

TEST_F(ServerRepairTest, ADatabaseOnAServerIsCompactedInPlaceOnceNobodyHasItOpen) {
    const std::string s = "wizard_dt";
    Conn admin = Connect();
    Scalar(admin.get(), "DROP SCHEMA IF EXISTS " + s + " CASCADE");
    Scalar(admin.get(), "CREATE SCHEMA " + s);
    Scalar(admin.get(), "CREATE TABLE " + s +
                            ".tbldtqueue (id integer, remark text) WITH (autovacuum_enabled = "
                            "false)");
    Scalar(admin.get(), "INSERT INTO " + s +
                            ".tbldtqueue SELECT g, repeat('x', 300) FROM generate_series(1, "
                            "10000) g");
    Scalar(admin.get(), "DELETE FROM " + s + ".tbldtqueue WHERE id % 10 <> 0");
    const std::string size = "SELECT pg_total_relation_size('" + s + ".tbldtqueue')";
    const long before = std::stol(Scalar(admin.get(), size));
    const std::string file = "SELECT pg_relation_filenode('" + s + ".tbldtqueue')";
    const std::string fileBefore = Scalar(admin.get(), file);
    const std::string path = "pg:" + kelvor::test::ClusterConninfo() + "#" + s;
    g_oApplications->Add("DT", path, "Kelvor Primary Database", "Pending");
    g_iAction = 2;
    auto* page = Page<frmWizRepair>();
    page->show();

    {
        Conn other = Connect();
        auto open = kelvor::pg::LockSession::Connect(other.get(), s, "clerk");
        page->btnProceed->click();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].rfind("3356-", 0), 0u) << messages[0];
        EXPECT_EQ(messages[1], "Error occurred !");
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Kelvor Primary Database", "Failed")});
        EXPECT_EQ(std::stol(Scalar(admin.get(), size)), before);
    }

    messages.clear();
    page->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    EXPECT_EQ(Lines(page->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("Kelvor Primary Database", "Done")});
    EXPECT_EQ(Scalar(admin.get(), "SELECT count(*) FROM " + s + ".tbldtqueue"), "1000");
    // Rewritten: a new file, no bigger (rows an open transaction elsewhere may see are kept).
    EXPECT_NE(Scalar(admin.get(), file), fileBefore);
    EXPECT_LE(std::stol(Scalar(admin.get(), size)), before);
    EXPECT_FALSE(page->ProgressBar1->isVisible());
}

namespace {

// An installation whose company databases are schemas on the cluster.
class ServerInstallationTest : public InstallationTest {
  protected:
    InstallationOptions Options() const override {
        return {1, 20,
                kelvor::test::NewSchemaPath("wizinst", {"c01_dt", "c01_ca", "c01_so", "c01_gl"})};
    }
};

}  // namespace

// The company's four databases are found through their file rows and compacted in place, as
// files are, together with the installation's own files.
TEST_F(ServerInstallationTest, TheCompaniesDatabasesOnTheServerAreListedAndCompacted) {
    frmWizRepair* repair = GoToRepairPage("C01", {0, 1, 2, 3, 4, 5});
    ASSERT_TRUE(repair);
    repair->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    const std::vector<std::string> lines = Lines(repair->lstAppRepairStatus);
    ASSERT_EQ(lines.size(), 6u);
    for (const auto& l : lines) EXPECT_NE(l.find("Done"), std::string::npos) << l;
    kelvor::Database dt = kelvor::DBEngine().Workspaces(0).OpenDatabase(
        "pg:" + kelvor::test::ClusterConninfo() + "#wizinst_c01_dt");
    EXPECT_FALSE(dt.OpenRecordset("tblDtCallLogHeader", kelvor::dbOpenSnapshot).EOF_());
}
