#include "pg/locks.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <utility>

#include "kelvor/jet_error.h"
#include "locking/lock_file.h"
#include "pg/compact.h"
#include "pg/roster.h"

namespace kelvor::pg {

using namespace detail;

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The key's halves as pg_locks shows them: classid and objid.
std::string highHalf(int64_t key) {
    return std::to_string(static_cast<uint32_t>(static_cast<uint64_t>(key) >> 32));
}
std::string lowHalf(int64_t key) {
    return std::to_string(static_cast<uint32_t>(static_cast<uint64_t>(key)));
}

// What the process knows beyond the server: which LockSession holds which key on a shared
// connection, and releases held up by a failed transaction.
struct ProcessState {
    std::mutex m;
    std::map<std::pair<PGconn*, int64_t>, std::vector<const LockSession*>> held;
    std::multimap<PGconn*, std::string> pending;  // statements, values written in
};

ProcessState& state() {
    static ProcessState s;
    return s;
}

void runOrHoldUp(PGconn* conn, std::string sql) {
    if (PQstatus(conn) != CONNECTION_OK) return;  // the session and its locks are gone
    if (PQtransactionStatus(conn) == PQTRANS_INERROR) {
        std::lock_guard g(state().m);
        state().pending.emplace(conn, std::move(sql));
        return;
    }
    Query(conn, sql);
}

void flushPending(PGconn* conn) {
    auto& s = state();
    std::lock_guard g(s.m);
    auto [from, to] = s.pending.equal_range(conn);
    if (from == to) return;
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_INERROR) return;
    if (PQstatus(conn) == CONNECTION_OK)
        for (auto it = from; it != to; ++it) Query(conn, it->second);
    s.pending.erase(from, to);
}

// Another LockSession of this process that holds `key` on `conn`, if any.
const LockSession* heldByOther(PGconn* conn, int64_t key, const LockSession* self) {
    auto& s = state();
    auto it = s.held.find({conn, key});
    if (it == s.held.end()) return nullptr;
    for (const LockSession* h : it->second)
        if (h != self) return h;
    return nullptr;
}

}  // namespace

int64_t TableLockKey(uint32_t schemaOid, const std::string& table) {
    uint32_t h = 2166136261u;
    for (char c : lower(table)) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(schemaOid) << 32) | h);
}

LockSession::LockSession(PGconn* conn, std::string schema, uint32_t oid, std::string user)
    : conn_(conn), schema_(std::move(schema)), user_(std::move(user)), oid_(oid) {}

std::unique_ptr<LockSession> LockSession::Connect(PGconn* conn, const std::string& schema,
                                                  const std::string& user) {
    if (PQstatus(conn) != CONNECTION_OK) throw JetError::make(err::kDiskError);
    auto txn = PQtransactionStatus(conn);
    if (txn != PQTRANS_IDLE && txn != PQTRANS_INTRANS) throw JetError::make(err::kInvalidOperation);
    flushPending(conn);
    // The schema, and its use key taken shared in the same round trip: every open shares it,
    // a compaction holds it alone (pg/compact.h). The key's first half is the OID as an int4,
    // as everywhere.
    Result found =
        Query(conn,
              "SELECT oid, has_schema_privilege(oid, 'USAGE'), CASE WHEN "
              "has_schema_privilege(oid, 'USAGE') THEN pg_try_advisory_lock_shared(oid::integer, "
              "$2::integer) END FROM pg_catalog.pg_namespace WHERE nspname = $1",
              {schema, std::to_string(kSchemaUseKey)});
    if (!found.ok()) throw JetError::make(err::kDiskError);
    if (found.rows() == 0) throw JetError::make(err::kFileNotFound, schema);
    if (found.text(0, 1) != "t") throw JetError::make(err::kCantOpenFile, schema);
    const uint32_t schemaOid = static_cast<uint32_t>(std::stoul(found.text(0, 0)));
    if (found.text(0, 2) != "t") throw JetError::make(err::kFileInUse, schema);
    std::unique_ptr<LockSession> s(new LockSession(conn, schema, schemaOid, user));
    s->inUse_ = true;
    const std::string key1 = std::to_string(static_cast<int32_t>(schemaOid));
    // Inside the caller's transaction nothing may fail that would end it, so the table is not
    // made and not tidied there, and the entry is written under a savepoint: it shows once the
    // caller commits (a rollback takes it back, leaving the connection unlisted but its locks
    // working).
    const bool inside = txn == PQTRANS_INTRANS;
    if (inside ? !HasRoster(conn, schema) : !CreateRoster(conn, schema)) return s;
    const std::string t = RosterTable(conn, schema);
    const std::string oid = std::to_string(schemaOid);
    // Entries of connections that ended without leaving (the listing skips them already).
    if (!inside)
        Query(conn,
              "DELETE FROM " + t +
                  " r WHERE NOT EXISTS (SELECT 1 FROM pg_catalog.pg_locks l WHERE " +
                  AdvisoryLockIn("l") +
                  " AND l.classid = $1::oid AND l.objid = r.id::oid AND l.objsubid = 2 AND "
                  "l.pid = r.pid)",
              {oid});
    const char* begin = inside ? "SAVEPOINT kelvor_roster" : "BEGIN";
    const char* commit = inside ? "RELEASE SAVEPOINT kelvor_roster" : "COMMIT";
    const char* rollback =
        inside ? "ROLLBACK TO SAVEPOINT kelvor_roster; RELEASE SAVEPOINT kelvor_roster"
               : "ROLLBACK";
    // The entry and its lock appear together: others see the row only once it is committed,
    // and by then it is locked. An id whose key is somehow taken is given up for the next.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!Query(conn, begin).ok()) throw JetError::make(err::kDiskError);
        Result r = Query(conn,
                         "WITH e AS (INSERT INTO " + t +
                             " (pid, workstation, username) VALUES (pg_backend_pid(), $2, $3) "
                             "RETURNING id) SELECT id, pg_try_advisory_lock($1::integer, id) "
                             "FROM e",
                         {key1, locking::HostName(), user});
        if (r.rows() == 1 && r.text(0, 1) == "t") {
            int id = std::stoi(r.text(0, 0));
            if (Query(conn, commit).ok()) {
                s->entryId_ = id;
                return s;
            }
            Query(conn, "SELECT pg_advisory_unlock(" + key1 + ", " + std::to_string(id) + ")");
            throw JetError::make(err::kDiskError);
        }
        std::string code = r.sqlState();
        Query(conn, rollback);
        if (PQstatus(conn) != CONNECTION_OK) throw JetError::make(err::kDiskError);
        // Refused the insert (a role that may only read): unregistered, as on a file.
        if (!r.ok() && code != "23505") return s;
    }
    return s;
}

LockSession::~LockSession() {
    {
        std::lock_guard g(state().m);
        for (auto& [name, held] : tables_) {
            auto it = state().held.find({conn_, held.key});
            if (it == state().held.end()) continue;
            auto& v = it->second;
            v.erase(std::remove(v.begin(), v.end(), this), v.end());
            if (v.empty()) state().held.erase(it);
        }
    }
    flushPending(conn_);
    for (auto& [name, held] : tables_) release(held.key);
    const std::string key1 = std::to_string(static_cast<int32_t>(oid_));
    if (registered()) {
        // The entry stops counting when its lock goes; the row itself is only tidied, and is
        // left for the next registration when the connection is inside a transaction.
        if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE)
            Query(conn_, "DELETE FROM " + RosterTable(conn_, schema_) +
                             " WHERE id = " + std::to_string(entryId_));
        runOrHoldUp(conn_,
                    "SELECT pg_advisory_unlock(" + key1 + ", " + std::to_string(entryId_) + ")");
    }
    // Last: a compaction that finds the key free finds no live entry of this connection either.
    if (inUse_)
        runOrHoldUp(conn_, "SELECT pg_advisory_unlock_shared(" + key1 + ", " +
                               std::to_string(kSchemaUseKey) + ")");
}

void LockSession::release(int64_t key) const {
    runOrHoldUp(conn_, "SELECT pg_advisory_unlock(" + std::to_string(key) + "::bigint)");
}

void LockSession::AfterTransaction(PGconn* conn) {
    flushPending(conn);
}

void LockSession::lockTable(const std::string& table) {
    flushPending(conn_);
    std::string name = lower(table);
    if (auto it = tables_.find(name); it != tables_.end()) {
        ++it->second.count;
        return;
    }
    if (!registered()) throw JetError::make(err::kLockedTableInUse, table);
    int64_t key = TableLockKey(oid_, name);
    std::lock_guard g(state().m);
    if (const LockSession* other = heldByOther(conn_, key, this))
        throw JetError::make(err::kTableLocked, table, other->user_, locking::HostName());
    Result r = Query(conn_, "SELECT pg_try_advisory_lock($1::bigint)", {std::to_string(key)});
    if (r.rows() != 1) throw JetError::make(err::kDiskError);
    if (r.text(0, 0) == "t") {
        tables_[name] = Held{key, 1};
        state().held[{conn_, key}].push_back(this);
        return;
    }
    // Named by the live roster entry of the backend that holds the key.
    std::string t = RosterTable(conn_, schema_);
    Result who =
        Query(conn_,
              "SELECT r.username, r.workstation FROM pg_catalog.pg_locks l JOIN " + t +
                  " r ON r.pid = l.pid WHERE " + AdvisoryLockIn("l") +
                  " AND l.classid = $1::oid AND l.objid = $2::oid AND l.objsubid = 1 AND EXISTS "
                  "(SELECT 1 FROM pg_catalog.pg_locks e WHERE " +
                  AdvisoryLockIn("e") +
                  " AND e.classid = $1::oid AND e.objid = r.id::oid AND e.objsubid = 2 AND e.pid = "
                  "r.pid) ORDER BY r.id LIMIT 1",
              {highHalf(key), lowHalf(key)});
    if (who.rows() == 1)
        throw JetError::make(err::kTableLocked, table, who.text(0, 0), who.text(0, 1));
    throw JetError::make(err::kTableLocked, table);
}

void LockSession::unlockTable(const std::string& table) {
    flushPending(conn_);
    auto it = tables_.find(lower(table));
    if (it == tables_.end()) return;
    if (--it->second.count > 0) return;
    int64_t key = it->second.key;
    {
        std::lock_guard g(state().m);
        auto h = state().held.find({conn_, key});
        if (h != state().held.end()) {
            auto& v = h->second;
            if (auto at = std::find(v.begin(), v.end(), this); at != v.end()) v.erase(at);
            if (v.empty()) state().held.erase(h);
        }
    }
    tables_.erase(it);
    release(key);
}

void LockSession::checkWritable(const std::vector<std::string>& tables) const {
    flushPending(conn_);
    if (tables.empty()) return;
    std::string objids;
    {
        std::lock_guard g(state().m);
        for (const auto& t : tables) {
            int64_t key = TableLockKey(oid_, t);
            if (heldByOther(conn_, key, this)) throw JetError::make(err::kReadOnly);
            objids += (objids.empty() ? "{" : ",") + lowHalf(key);
        }
    }
    Result r = Query(conn_,
                     "SELECT 1 FROM pg_catalog.pg_locks l WHERE " + AdvisoryLockIn("l") +
                         " AND l.classid = $1::oid AND l.objid = ANY($2::oid[]) AND "
                         "l.objsubid = 1 AND l.mode = 'ExclusiveLock' AND "
                         "l.pid <> pg_backend_pid() LIMIT 1",
                     {std::to_string(oid_), objids + "}"});
    if (!r.ok()) throw JetError::make(err::kDiskError);
    if (r.rows() > 0) throw JetError::make(err::kReadOnly);
}

}  // namespace kelvor::pg
