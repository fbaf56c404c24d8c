// The repair page on a database kept on the tests' private PostgreSQL cluster: compacted in
// place with the status a file gets, and refused while someone has it open.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "pg/locks.h"
#include "pg/pg_cluster.h"
#include "wizard_fixture.h"

using namespace kelvor::wizard;
using namespace kelvor::wizard::test;

namespace {

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

Conn connect() {
    std::string info = kelvor::test::ClusterConninfo();
    Conn c(PQconnectdb(info.c_str()), &PQfinish);
    if (PQstatus(c.get()) != CONNECTION_OK)
        throw std::runtime_error("no cluster (" + info + "): " + PQerrorMessage(c.get()));
    PQsetNoticeProcessor(
        c.get(), [](void*, const char*) {}, nullptr);
    return c;
}

std::string scalar(PGconn* c, const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    auto s = PQresultStatus(r);
    std::string out = s == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    std::string msg = PQresultErrorMessage(r);
    PQclear(r);
    if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) throw std::runtime_error(sql + ": " + msg);
    return out;
}

class ServerRepairTest : public WizardTest {};

}  // namespace

TEST_F(ServerRepairTest, ADatabaseOnAServerIsCompactedInPlaceOnceNobodyHasItOpen) {
    const std::string s = "wizard_dt";
    Conn admin = connect();
    scalar(admin.get(), "DROP SCHEMA IF EXISTS " + s + " CASCADE");
    scalar(admin.get(), "CREATE SCHEMA " + s);
    scalar(admin.get(), "CREATE TABLE " + s +
                            ".tbldtqueue (id integer, remark text) WITH (autovacuum_enabled = "
                            "false)");
    scalar(admin.get(), "INSERT INTO " + s +
                            ".tbldtqueue SELECT g, repeat('x', 300) FROM generate_series(1, "
                            "10000) g");
    scalar(admin.get(), "DELETE FROM " + s + ".tbldtqueue WHERE id % 10 <> 0");
    const std::string size = "SELECT pg_total_relation_size('" + s + ".tbldtqueue')";
    const long before = std::stol(scalar(admin.get(), size));
    const std::string path = "pg:" + kelvor::test::ClusterConninfo() + "#" + s;
    g_oApplications->Add("DT", path, "Kelvor Primary Database", "Pending");
    g_iAction = 2;
    auto* page = Page<frmWizRepair>();
    page->show();

    {
        Conn other = connect();
        auto open = kelvor::pg::LockSession::Connect(other.get(), s, "clerk");
        page->btnProceed->click();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].rfind("3356-", 0), 0u) << messages[0];
        EXPECT_EQ(messages[1], "Error occurred !");
        EXPECT_EQ(Lines(page->lstAppRepairStatus),
                  std::vector<std::string>{StatusLine("Kelvor Primary Database", "Failed")});
        EXPECT_EQ(std::stol(scalar(admin.get(), size)), before);
    }

    messages.clear();
    page->btnProceed->click();
    EXPECT_EQ(messages, std::vector<std::string>{"Process completed."});
    EXPECT_EQ(Lines(page->lstAppRepairStatus),
              std::vector<std::string>{StatusLine("Kelvor Primary Database", "Done")});
    EXPECT_EQ(scalar(admin.get(), "SELECT count(*) FROM " + s + ".tbldtqueue"), "1000");
    EXPECT_LT(std::stol(scalar(admin.get(), size)), before / 3);
    EXPECT_FALSE(page->ProgressBar1->isVisible());
}
