#include "pg/roster.h"

#include "kelvor/jet_error.h"
#include "pg/path.h"

namespace kelvor::pg {

namespace detail {

Result Query(PGconn* conn, const std::string& sql, const std::vector<std::string>& params) {
    ++RoundTrips();
    if (params.empty()) return Result(PQexec(conn, sql.c_str()));  // may hold several statements
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    return Result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
}

std::string QuoteIdent(PGconn* conn, const std::string& name) {
    char* q = PQescapeIdentifier(conn, name.c_str(), name.size());
    if (!q) throw JetError::make(err::kDiskError);
    std::string out = q;
    PQfreemem(q);
    return out;
}

std::string RosterTable(PGconn* conn, const std::string& schema) {
    return QuoteIdent(conn, schema) + "." + kRosterTable;
}

SchemaInfo LookUpSchema(PGconn* conn, const std::string& schema) {
    Result r = Query(conn,
                     "SELECT oid, has_schema_privilege(oid, 'USAGE') FROM pg_catalog.pg_namespace "
                     "WHERE nspname = $1",
                     {schema});
    if (!r.ok()) throw JetError::make(err::kDiskError);
    SchemaInfo info;
    if (r.rows() == 0) return info;
    info.exists = true;
    info.oid = static_cast<uint32_t>(std::stoul(r.text(0, 0)));
    info.usable = r.text(0, 1) == "t";
    return info;
}

bool HasRoster(PGconn* conn, const std::string& schema) {
    Result r = Query(conn, "SELECT to_regclass($1) IS NOT NULL", {RosterTable(conn, schema)});
    return r.rows() == 1 && r.text(0, 0) == "t";
}

std::string AdvisoryLockIn(const char* a) {
    std::string l = a;
    return l + ".locktype = 'advisory' AND " + l + ".granted AND " + l +
           ".database = (SELECT oid FROM pg_catalog.pg_database WHERE datname = "
           "current_database())";
}

}  // namespace detail

using namespace detail;

bool CreateRoster(PGconn* conn, const std::string& schema) {
    if (HasRoster(conn, schema)) return true;
    std::string t = RosterTable(conn, schema);
    // The identity hands out ids without any grant on its sequence; it cycles, and an id still
    // in use after 2^31 registrations is refused by the key and the registration retried.
    // One implicit transaction: a table nobody else may use is never left behind.
    ++RoundTrips();
    Result r(PQexec(conn, ("CREATE TABLE IF NOT EXISTS " + t +
                           " (id integer GENERATED ALWAYS AS IDENTITY (MINVALUE 1 MAXVALUE "
                           "2147483647 CYCLE) PRIMARY KEY, pid integer NOT NULL, workstation "
                           "text NOT NULL, username text NOT NULL); GRANT SELECT, INSERT, DELETE "
                           "ON " +
                           t + " TO PUBLIC")
                              .c_str()));
    // Two first connections may race to make it; the loser's error is no failure.
    return r.ok() || HasRoster(conn, schema);
}

int ReadRoster(PGconn* conn, const std::string& schema, std::vector<locking::RosterEntry>& out) {
    out.clear();
    SchemaInfo info;
    try {
        info = LookUpSchema(conn, schema);
    } catch (const JetError&) {
        return -2;
    }
    if (!info.exists) return -1;
    if (!info.usable) return -2;
    if (!HasRoster(conn, schema)) return 0;
    Result r = Query(conn,
                     "SELECT r.workstation, r.username FROM " + RosterTable(conn, schema) +
                         " r WHERE EXISTS (SELECT 1 FROM pg_catalog.pg_locks l WHERE " +
                         AdvisoryLockIn("l") +
                         " AND l.classid = $1::oid AND l.objid = r.id::oid AND l.objsubid = 2 "
                         "AND l.pid = r.pid) ORDER BY r.id",
                     {std::to_string(info.oid)});
    if (!r.ok()) return -2;
    for (int i = 0; i < r.rows(); ++i) out.push_back({r.text(i, 0), r.text(i, 1)});
    return static_cast<int>(out.size());
}

int ReadRoster(const std::string& path, std::vector<locking::RosterEntry>& out) {
    out.clear();
    ServerPath sp;
    try {
        sp = ParseServerPath(path);
    } catch (const JetError&) {
        return -2;
    }
    PGconn* conn = PQconnectdb(sp.conninfo.c_str());
    int n = PQstatus(conn) == CONNECTION_OK ? ReadRoster(conn, sp.schema, out) : -2;
    PQfinish(conn);
    return n;
}

}  // namespace kelvor::pg
