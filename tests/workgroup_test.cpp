// Workgroup files and the workspaces that log on with them.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "kelvor/dao.h"
#include "kelvor/roster.h"
#include "kelvor/workgroup.h"
#include "test_util.h"

using namespace kelvor;
using kelvor::test::RunKelvor;
using kelvor::test::TempDir;

namespace {

// Eight control characters, as a program's fixed password may be.
const std::string kControlPassword("\x01\x07\x1b\x02\x1f\x0a\x0d\x10", 8);

// Restores the engine's workgroup file setting after each test.
class WorkgroupTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string mdw = dir.file("Kelvor2000.mdw");
    void TearDown() override { DBEngine().SystemDB(""); }
};

}  // namespace

TEST_F(WorkgroupTest, AccountsLogOnWithTheirExactPassword) {
    workgroup::Create(mdw);
    workgroup::AddUser(mdw, "System", kControlPassword);
    EXPECT_EQ(workgroup::Authenticate(mdw, "system", kControlPassword), "System");
    EXPECT_EQ(workgroup::Authenticate(mdw, "Admin", ""), "Admin");
    EXPECT_EQ(kelvor::test::ErrorOf(
                  [&] { workgroup::Authenticate(mdw, "System", kControlPassword.substr(0, 7)); }),
              3029);
    EXPECT_EQ(kelvor::test::ErrorOf(
                  [&] { workgroup::Authenticate(mdw, "System", kControlPassword + "x"); }),
              3029);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { workgroup::Authenticate(mdw, "Nobody", ""); }), 3029);
    EXPECT_EQ(kelvor::test::ErrorOf([&] { workgroup::Authenticate(mdw, "Admins", ""); }),
              3029);  // a group
    EXPECT_EQ(kelvor::test::ErrorOf([&] { workgroup::AddUser(mdw, "SYSTEM", "x"); }), 3390);
    // The file keeps only hashes.
    EXPECT_EQ(kelvor::test::ReadFile(mdw).find(kControlPassword), std::string::npos);

    DBEngine().SystemDB(mdw);
    Workspace ws = DBEngine().CreateWorkspace("temporary", "System", kControlPassword);
    EXPECT_EQ(ws.UserName(), "System");
    std::string dbPath = dir.file("Kelvor4PE.mde");
    DBEngine().CreateDatabase(dbPath);
    Database db = ws.OpenDatabase(dbPath);
    std::vector<RosterUser> users;
    ASSERT_EQ(ReadRoster(dbPath, users), 1);
    EXPECT_EQ(users[0].user, "System");
    EXPECT_EQ(kelvor::test::ErrorOf([] { DBEngine().CreateWorkspace("t", "System", "wrong"); }),
              3029);

    DBEngine().SystemDB("");
    EXPECT_EQ(DBEngine().CreateWorkspace("t", "Admin", "").UserName(), "Admin");
    EXPECT_EQ(kelvor::test::ErrorOf([] { DBEngine().CreateWorkspace("t", "System", "x"); }), 3029);
}

TEST_F(WorkgroupTest, FilesThatCannotServeAreToldApart) {
    DBEngine().SystemDB(dir.file("missing.mdw"));
    EXPECT_EQ(kelvor::test::ErrorOf([] { DBEngine().CreateWorkspace("t", "Admin", ""); }), 3028);

    std::string junk = dir.file("junk.mdw");
    std::ofstream(junk) << std::string(4096, 'z');
    DBEngine().SystemDB(junk);
    EXPECT_EQ(kelvor::test::ErrorOf([] { DBEngine().CreateWorkspace("t", "Admin", ""); }), 3343);

    std::string plain = dir.file("plain.mdb");
    DBEngine().CreateDatabase(plain);
    DBEngine().SystemDB(plain);
    EXPECT_EQ(kelvor::test::ErrorOf([] { DBEngine().CreateWorkspace("t", "Admin", ""); }), 3358);

    // A damaged workgroup file is one the caller should repair.
    workgroup::Create(mdw);
    std::string data = kelvor::test::ReadFile(mdw);
    for (size_t i = 4096; i < data.size(); ++i) data[i] = static_cast<char>(0xA5);
    std::ofstream(mdw, std::ios::binary | std::ios::trunc) << data;
    DBEngine().SystemDB(mdw);
    int damaged = kelvor::test::ErrorOf([] { DBEngine().CreateWorkspace("t", "Admin", ""); });
    EXPECT_TRUE(damaged == 3173 || damaged == 3343 || damaged == 3358) << damaged;
}

TEST_F(WorkgroupTest, CommandLineReadsPasswordsFromStandardInput) {
    ASSERT_EQ(RunKelvor("workgroup create " + mdw).status, 0);
    auto r = RunKelvor("workgroup add-user --raw " + mdw + " System", kControlPassword);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RunKelvor("workgroup check --raw " + mdw + " System", kControlPassword).status, 0);
    r = RunKelvor("workgroup check " + mdw + " System", "guess\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error 3029: Not a valid account name or password.\n");
    ASSERT_EQ(RunKelvor("workgroup add-user " + mdw + " clerk", "s3cret\n").status, 0);
    EXPECT_EQ(RunKelvor("workgroup check " + mdw + " clerk", "s3cret\n").status, 0);
    EXPECT_EQ(RunKelvor("workgroup check " + mdw + " clerk", "s3cret").status, 0);
    EXPECT_EQ(RunKelvor("workgroup check " + mdw + " clerk", "s3cret\n\n").status, 1);
}
