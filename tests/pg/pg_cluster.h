// The private cluster scripts/pg-cluster.sh started for this test run (CTest's fixture), and
// what the tests on it use to reach it.
#pragma once

#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

#include "kelvor/jet_error.h"

namespace kelvor::test {

// Its libpq connection text, or "" when no cluster was started.
inline std::string ClusterConninfo() {
    const char* state = std::getenv("KELVOR_TEST_PG_STATE");
    if (!state) return {};
    std::ifstream in(std::string(state) + "/conninfo");
    std::string line;
    std::getline(in, line);
    return line;
}

// A database path for the schema `name` (lower-cased) on the cluster, which has no such schema
// nor schemas `name`_SUFFIX for the given suffixes: what a run before left is dropped. Throws
// when there is no cluster.
inline std::string NewSchemaPath(std::string name,
                                 std::initializer_list<const char*> suffixes = {}) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string conninfo = ClusterConninfo();
    PGconn* conn = conninfo.empty() ? nullptr : PQconnectdb(conninfo.c_str());
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        PQfinish(conn);
        throw std::runtime_error("no private cluster: KELVOR_TEST_PG_STATE/conninfo");
    }
    std::string sql = "SET client_min_messages = warning; DROP SCHEMA IF EXISTS \"" + name + "\"";
    for (const char* s : suffixes) sql += ", \"" + name + "_" + s + "\"";
    PQclear(PQexec(conn, (sql + " CASCADE").c_str()));
    PQfinish(conn);
    return "pg:" + conninfo + "#" + name;
}

// The path kelvor create-company takes for a company NAME on the cluster (its databases are
// the schemas NAME_dt, NAME_ca, NAME_so and NAME_gl), none of them there.
inline std::string NewCompanyPath(const std::string& name) {
    return NewSchemaPath(name, {"dt", "ca", "so", "gl"});
}

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

// A plain libpq connection to the cluster, as `user` when one is given (else as the cluster's
// own role), its notices silenced. Throws when it cannot connect.
inline Conn Connect(const std::string& user = {}) {
    std::string info = ClusterConninfo();
    if (!user.empty()) info += " user=" + user;  // the later keyword wins
    Conn c(PQconnectdb(info.c_str()), &PQfinish);
    if (PQstatus(c.get()) != CONNECTION_OK)
        throw std::runtime_error("no cluster (" + info + "): " + PQerrorMessage(c.get()));
    PQsetNoticeProcessor(
        c.get(), [](void*, const char*) {}, nullptr);
    return c;
}

// Runs `sql` and returns the first column of its first row ("" when it returns none). Throws
// when it fails.
inline std::string Scalar(PGconn* c, const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    auto s = PQresultStatus(r);
    std::string out = s == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    std::string msg = PQresultErrorMessage(r);
    PQclear(r);
    if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) throw std::runtime_error(sql + ": " + msg);
    return out;
}

// As test_util.h's ErrorOf, with the error's whole text in `message` from the same call: the
// steps tested take and release locks, so they cannot run twice.
inline int ErrorOf(const std::function<void()>& f, std::string* message) {
    try {
        f();
    } catch (const JetError& e) {
        *message = e.what();
        return e.number();
    }
    return 0;
}

}  // namespace kelvor::test
