// The private cluster scripts/pg-cluster.sh started for this test run (CTest's fixture).
#pragma once

#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>

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

}  // namespace kelvor::test
