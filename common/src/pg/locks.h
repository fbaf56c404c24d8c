// A connection's registration in a schema's roster and its deny-write table locks, when the
// database is a schema on a PostgreSQL server: what locking::LockFile is for a file, with the
// same calls, semantics and errors, across every machine that reaches the server.
//
// A deny-write lock on a table is a session-level advisory lock on the one-bigint key
//     (schema OID << 32) | FNV-1a-32(table name in lower case)
// so it is held exactly as long as the session that took it, and a client that dies frees it
// with its backend. The OID part keeps schemas apart (OIDs are unique within a database, the
// scope of advisory keys). Two table names of one schema may share a hash: then locking one
// refuses the other (3262) and writing the other is refused (3027) while the first is locked,
// a false conflict, never a missed one, since one name always gives one key. Other programs
// that take advisory locks in the same database could meet Kelvor's keys the same way.
//
// A check for writing (3027) reads pg_locks for another session's deny-write lock (exclusive).
// Inside a transaction the engine then takes the table's key shared for the rest of the
// transaction (pg::Connection), so that nobody can lock the table against a transaction that
// has written to it, and the next writes to it need no check; outside one, as with the file,
// the check and the write are not atomic against a lock taken in between.
//
// Several LockSessions may share one PGconn (databases on one server share a connection);
// PostgreSQL would let them all take one key, so the process keeps its own account of which
// of them holds what and they refuse one another as two connections do.
//
// A session-level advisory lock is released only by a statement, which a transaction in the
// failed state refuses. Releases that meet one wait until the connection is usable again: the
// next call of any LockSession on that connection, or AfterTransaction, carries them out.
//
// Every call uses the connection on the calling thread; the caller serialises calls on one
// PGconn as it does for its own statements. A LockSession must end before its PGconn.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kelvor::pg {

// The advisory key of a table's deny-write lock (see above).
int64_t TableLockKey(uint32_t schemaOid, const std::string& table);

class LockSession {
  public:
    // Registers a connection of `user` from this workstation on `schema`, making the schema's
    // roster table when it has none and this role may, and holds the schema's use key shared
    // for as long as it lives. Throws 3024 when the schema does not exist, 3051 when this role
    // may not use it, 3045 while the schema is being compacted, 3043 when the server fails,
    // 3219 when the connection is in a failed transaction.
    // Without a roster table this role may make or write, the connection is unregistered: it
    // is not listed and its table locks are refused (3211).
    static std::unique_ptr<LockSession> Connect(PGconn* conn, const std::string& schema,
                                                const std::string& user);
    ~LockSession();
    LockSession(const LockSession&) = delete;
    LockSession& operator=(const LockSession&) = delete;

    // Deny-write lock on a table. Throws 3262 naming the holder's user and workstation when
    // another connection holds it, 3211 when this connection is unregistered, 3043 when the
    // server fails. A connection may take the same table more than once; each take is
    // released once.
    void lockTable(const std::string& table);
    void unlockTable(const std::string& table);
    // Throws 3027 when another connection holds a deny-write lock on any of `tables`.
    void checkWritable(const std::vector<std::string>& tables) const;

    bool registered() const { return entryId_ > 0; }
    uint32_t schemaOid() const { return oid_; }

    // Carries out releases that a failed transaction on `conn` held up; for the engine to call
    // after it ends a transaction.
    static void AfterTransaction(PGconn* conn);

  private:
    LockSession(PGconn* conn, std::string schema, uint32_t oid, std::string user);
    void release(int64_t key) const;

    PGconn* conn_;
    std::string schema_, user_;
    uint32_t oid_;
    int entryId_ = 0;     // 0: unregistered
    bool inUse_ = false;  // holds the schema's use key shared (pg/compact.h)
    struct Held {
        int64_t key;
        int count;
    };
    std::unordered_map<std::string, Held> tables_;  // by lower-cased name
};

}  // namespace kelvor::pg
