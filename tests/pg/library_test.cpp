// The PostgreSQL function library: installed by several programs at once, replaced when older,
// left when newer, and its failures and PostgreSQL's own reach the caller as the engine's
// errors. Each test uses a database of its own on the private cluster.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "kelvor/jet_error.h"
#include "pg/library.h"
#include "pg/pg_cluster.h"

namespace kelvor {
namespace {

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

std::string Conninfo(const std::string& dbname = "postgres") {
    std::string line = kelvor::test::ClusterConninfo();
    return line.empty() ? line : line + " dbname=" + dbname;
}

Conn Connect(const std::string& dbname) {
    Conn c(PQconnectdb(Conninfo(dbname).c_str()), PQfinish);
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    return c;
}

// A database of the test's own, dropped at the end.
class PgLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Conninfo().empty()) << "no private cluster: KELVOR_TEST_PG_STATE/conninfo";
        admin_ = Connect("postgres");
        ASSERT_EQ(PQstatus(admin_.get()), CONNECTION_OK);
        pg::Exec(admin_.get(), "SET client_min_messages = warning");
        pg::Exec(admin_.get(), "DROP DATABASE IF EXISTS " + db_);
        pg::Exec(admin_.get(), "CREATE DATABASE " + db_);
    }
    void TearDown() override {
        if (admin_ && PQstatus(admin_.get()) == CONNECTION_OK)
            pg::Exec(admin_.get(), "DROP DATABASE IF EXISTS " + db_ + " WITH (FORCE)");
    }
    std::string scalar(PGconn* c, const std::string& sql) {
        pg::Result r = pg::Exec(c, sql);
        return PQgetvalue(r.get(), 0, 0);
    }

    const std::string db_ = "kelvor_library_" + std::to_string(::getpid());
    Conn admin_{nullptr, PQfinish};
};

TEST_F(PgLibrary, InstalledOnceByRacingProgramsReplacedWhenOlderLeftWhenNewer) {
    Conn a = Connect(db_), b = Connect(db_);
    std::string failure;
    std::thread other([&] {
        try {
            pg::InstallLibrary(b.get());
        } catch (const JetError& e) {
            failure = e.description();
        }
    });
    pg::InstallLibrary(a.get());
    other.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(scalar(a.get(), "SELECT count(*) FROM kelvor.library"), "1");
    EXPECT_EQ(scalar(a.get(), "SELECT kelvor.kv_concat(NULL, 'x')"), "x");

    // An older library, with a function that has since changed, is replaced.
    pg::Exec(a.get(), "UPDATE kelvor.library SET version = 0");
    pg::Exec(a.get(),
             "CREATE OR REPLACE FUNCTION kelvor.kv_concat(a text, b text) RETURNS text "
             "LANGUAGE sql AS $$ SELECT 'old' $$");
    pg::InstallLibrary(a.get());
    EXPECT_EQ(scalar(a.get(), "SELECT kelvor.kv_concat(NULL, 'x')"), "x");
    EXPECT_EQ(scalar(a.get(), "SELECT version FROM kelvor.library"),
              std::to_string(pg::kLibraryVersion));

    // A newer one stays as it is.
    pg::Exec(a.get(), "UPDATE kelvor.library SET version = 1000");
    pg::Exec(a.get(),
             "CREATE OR REPLACE FUNCTION kelvor.kv_concat(a text, b text) RETURNS text "
             "LANGUAGE sql AS $$ SELECT 'newer' $$");
    pg::InstallLibrary(a.get());
    EXPECT_EQ(scalar(a.get(), "SELECT kelvor.kv_concat(NULL, 'x')"), "newer");
}

TEST_F(PgLibrary, FailuresAreTheEnginesErrors) {
    Conn c = Connect(db_);
    pg::InstallLibrary(c.get());
    pg::Exec(c.get(), "CREATE TABLE t (k integer PRIMARY KEY, s varchar(2) NOT NULL)");
    pg::Exec(c.get(), "INSERT INTO t VALUES (1, 'a')");
    const struct {
        const char* sql;
        int number;
    } kCases[] = {
        {"SELECT kelvor.kv_div(1, 0)", err::kDivisionByZero},  // the library's own
        {"SELECT kelvor.kv_mid('abc', 0)", err::kInvalidProcedureCall},
        {"SELECT kelvor.kv_fit(300, 0, 255)", err::kNumericFieldOverflow},
        {"SELECT 1 / 0", err::kDivisionByZero},  // PostgreSQL's
        {"SELECT 2147483647 + 1", err::kOverflow},
        {"INSERT INTO t VALUES (1, 'b')", err::kDuplicateKey},
        {"INSERT INTO t VALUES (2, NULL)", err::kFieldRequired},
        {"INSERT INTO t VALUES (3, 'abc')", err::kFieldTooSmall},
    };
    for (const auto& k : kCases) {
        try {
            pg::Exec(c.get(), k.sql);
            ADD_FAILURE() << k.sql << ": no error";
        } catch (const JetError& e) {
            EXPECT_EQ(e.number(), k.number) << k.sql << ": " << e.description();
        }
    }
}

}  // namespace
}  // namespace kelvor
