#include "pg/compact.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "kelvor/jet_error.h"
#include "pg/connection.h"
#include "pg/library.h"
#include "pg/path.h"
#include "pg/roster.h"
#include "sqlite/statement.h"

namespace kelvor::pg {

using namespace detail;

namespace {

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

// How often a caller hears from a table's rewrite that is still going.
constexpr auto kTick = std::chrono::milliseconds(200);

[[noreturn]] void fail(PGconn* conn, const Result& r) {
    if (PQstatus(conn) != CONNECTION_OK || !r.get()) throw JetError::make(err::kDiskError);
    const std::string state = r.sqlState();
    // Another program holds the table longer than the busy timeout, as SQLite's busy file.
    if (state == "55P03") throw JetError::make(err::kCouldNotUpdateLocked);
    // A rewrite needs room for a second copy of its table.
    if (state == "53100") throw JetError::make(err::kDiskFull);
    if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0 || state.rfind("58", 0) == 0)
        throw JetError::make(err::kDiskError);
    throw ErrorOf(r.get());
}

Result query(PGconn* conn, const std::string& sql, const std::vector<std::string>& params = {}) {
    Result r = Query(conn, sql, params);
    if (!r.ok()) fail(conn, r);
    return r;
}

// Runs one statement, hearing `tick` about every kTick while it runs. What `tick` throws
// cancels the statement on the server and is thrown once the server has answered.
void runWatched(PGconn* conn, const std::string& sql, const std::function<void()>& tick) {
    if (!PQsendQuery(conn, sql.c_str())) throw JetError::make(err::kDiskError);
    std::exception_ptr stop;
    auto last = std::chrono::steady_clock::now();
    Result failed;
    for (;;) {
        while (PQisBusy(conn)) {
            pollfd p{PQsocket(conn), POLLIN, 0};
            int rc = ::poll(&p, 1, static_cast<int>(kTick.count()));
            if (rc < 0 && errno != EINTR) throw JetError::make(err::kDiskError);
            auto now = std::chrono::steady_clock::now();
            // A signal (the user's Ctrl-C) is heard at once.
            if (!stop && tick && (rc < 0 || now - last >= kTick)) {
                last = now;
                try {
                    tick();
                } catch (...) {
                    stop = std::current_exception();
                    char message[256];
                    PGcancel* cancel = PQgetCancel(conn);
                    if (cancel) PQcancel(cancel, message, sizeof message);
                    PQfreeCancel(cancel);
                }
            }
            if (rc > 0 && !PQconsumeInput(conn)) throw JetError::make(err::kDiskError);
        }
        Result r(PQgetResult(conn));
        if (!r.get()) break;
        if (!r.ok() && !failed.get()) failed = std::move(r);
    }
    if (stop) std::rethrow_exception(stop);
    if (failed.get()) fail(conn, failed);
}

// The schema's use key held exclusively for as long as this lives; given back by a statement
// rather than by the session's end, so that an open right after the compaction finds it free.
class Exclusion {
  public:
    // `shown` names the database in messages.
    Exclusion(PGconn* conn, uint32_t oid, const std::string& schema, const std::string& shown)
        : conn_(conn), key_(std::to_string(static_cast<int32_t>(oid))) {
        const std::string use = std::to_string(kSchemaUseKey);
        for (int attempt = 0;; ++attempt) {
            Result r =
                query(conn, "SELECT pg_try_advisory_lock($1::integer, $2::integer)", {key_, use});
            if (r.text(0, 0) == "t") break;
            // Held exclusively: another compaction. Shared: someone has the schema open.
            Result who = query(conn,
                               "SELECT count(*), coalesce(bool_or(l.mode = 'ExclusiveLock'), "
                               "false) FROM pg_catalog.pg_locks l WHERE " +
                                   AdvisoryLockIn("l") +
                                   " AND l.classid = $1::oid AND l.objid = $2::oid AND "
                                   "l.objsubid = 2",
                               {std::to_string(oid), use});
            if (who.text(0, 1) == "t") throw JetError::make(err::kFileInUse, shown);
            if (who.text(0, 0) != "0") {
                std::vector<locking::RosterEntry> users;
                ReadRoster(conn, schema, users);
                // A role that could not register has it open all the same, unnamed.
                if (users.empty()) users.push_back({});
                throw JetError::make(err::kOpenedByOther, users[0].user, users[0].workstation);
            }
            // Let go between the two looks: try again, for a while.
            if (attempt >= 50) throw JetError::make(err::kFileInUse, shown);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Exclusion() {
        if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE)
            Query(conn_, "SELECT pg_advisory_unlock($1::integer, $2::integer)",
                  {key_, std::to_string(kSchemaUseKey)});
    }
    Exclusion(const Exclusion&) = delete;
    Exclusion& operator=(const Exclusion&) = delete;

  private:
    PGconn* conn_;
    std::string key_;
};

struct Table {
    std::string name;  // schema-qualified, quoted
    uint64_t pages;
};

// Whether this role may vacuum a table: from 17 on the MAINTAIN privilege says so; before,
// its owner or the database's owner (a superuser has the privileges of every role). VACUUM
// itself only warns and skips a table it may not touch, which would pass for success.
std::string mayVacuum(PGconn* conn) {
    if (PQserverVersion(conn) >= 170000) return "has_table_privilege(c.oid, 'MAINTAIN')";
    return "pg_has_role(c.relowner, 'USAGE') OR pg_has_role((SELECT d.datdba FROM "
           "pg_catalog.pg_database d WHERE d.datname = current_database()), 'USAGE')";
}

}  // namespace

void Compact(const std::string& path, const std::string& destination,
             const CompactOptions& options) {
    const ServerPath sp = ParseServerPath(path);
    if (!destination.empty() && destination != path) {
        bool same = false;
        if (NamesServer(destination)) {
            try {
                ServerPath d = ParseServerPath(destination);
                same = d.serverKey == sp.serverKey && d.schema == sp.schema;
            } catch (const JetError&) {
            }
        }
        if (!same)
            throw JetError::make(err::kNotImplemented,
                                 "a database on a server is compacted in place: give no "
                                 "destination, or the database itself.");
    }

    Conn owned(PQconnectdb(sp.conninfo.c_str()), &PQfinish);
    PGconn* conn = owned.get();
    if (PQstatus(conn) != CONNECTION_OK) throw ConnectFailure(PQerrorMessage(conn), sp.shown);
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    // A rewrite of a large table takes as long as it takes; a table another program holds is
    // waited for as long as a file's lock would be. A compaction whose program dies stops on
    // the server too, instead of holding its table to the end.
    query(conn, "SET statement_timeout = 0; SET lock_timeout = " +
                    std::to_string(sqlite::BusyTimeoutMs()));
    if (PQserverVersion(conn) >= 140000) query(conn, "SET client_connection_check_interval = 1000");

    SchemaInfo info = LookUpSchema(conn, sp.schema);
    if (!info.exists) throw JetError::make(err::kFileNotFound, sp.shown);
    if (!info.usable) throw JetError::make(err::kCantOpenFile, sp.shown);

    Exclusion exclusion(conn, info.oid, sp.schema, sp.shown);
    // Every opener holds the key; the roster is looked at as well for a client that registered
    // without it.
    std::vector<locking::RosterEntry> users;
    if (ReadRoster(conn, sp.schema, users) > 0)
        throw JetError::make(err::kOpenedByOther, users[0].user, users[0].workstation);

    const std::string schema = QuoteIdent(conn, sp.schema);
    Result listed = query(conn,
                          "SELECT quote_ident(c.relname), greatest(pg_total_relation_size(c.oid) "
                          "/ current_setting('block_size')::bigint, 1), " +
                              mayVacuum(conn) +
                              " FROM pg_catalog.pg_class c WHERE c.relnamespace = $1::oid AND "
                              "c.relkind IN ('r', 'm') ORDER BY c.relname",
                          {std::to_string(info.oid)});
    std::vector<Table> tables;
    uint64_t total = 0;
    for (int i = 0; i < listed.rows(); ++i) {
        if (listed.text(i, 2) != "t") throw JetError::make(err::kCantOpenFile, sp.shown);
        tables.push_back({schema + "." + listed.text(i, 0), std::stoull(listed.text(i, 1))});
        total += tables.back().pages;
    }
    total = std::max<uint64_t>(total, 1);

    uint64_t done = 0;
    auto report = [&](uint64_t at) {
        if (options.progress) options.progress(at, total);
    };
    report(0);
    for (size_t i = 0; i < tables.size(); ++i) {
        // One statement each: VACUUM runs outside any transaction, and a failure leaves the
        // tables before it compacted and the rest as they were.
        runWatched(conn, "VACUUM (FULL, ANALYZE) " + tables[i].name, [&] { report(done); });
        done += tables[i].pages;
        if (i + 1 < tables.size()) report(done);
    }
    report(total);
    if (options.whileLocked) options.whileLocked();
}

}  // namespace kelvor::pg
