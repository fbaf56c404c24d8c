// Who has a Kelvor database open when the database is a schema on a PostgreSQL server.
//
// Every connection that opens the schema adds an entry (its workstation and Jet user name, the
// same fields the lock-information file keeps) to the schema's table msysroster, and holds a
// session-level advisory lock on the entry for as long as it is open. An entry counts only
// while its lock is held by the backend that wrote it, so a client that crashes, is killed or
// loses its network takes its entry with its backend: nothing has to clean up, and no stale
// entry is ever listed. Rows left behind that way are deleted by the next connection that
// registers.
//
// Why a table and advisory locks rather than application_name in pg_stat_activity, which every
// role can read: the name holds 63 bytes (a workstation and a user name take up to 64 each),
// one connection has one name however many schemas it opens, and any SET changes it. pg_locks
// shows every session's advisory locks to every role as well, and a row's text has no limit.
//
// Keys. A roster entry's lock is the two-int advisory key (schema OID, entry id): an OID is
// unique within its database, which is all advisory keys are scoped to, and ids come from the
// table's own identity, so two entries never share a key. (Table locks use the one-bigint key
// space, which PostgreSQL keeps apart from the two-int one: see locks.h.) The id 0, which the
// identity never hands out, makes the schema's use key (schema OID, 0): every open holds it
// shared and a compaction exclusively (see compact.h).
//
// Privileges. The table is made by whoever first opens the schema with the right to create in
// it (normally when the company is created: CreateRoster) and is granted SELECT, INSERT and
// DELETE to PUBLIC, so any role with USAGE on the schema can register and list. Such a role can
// also delete other entries from the table (the clean-up needs it); that hides a live
// connection from the list and from a 3262's holder name, never from the locks themselves.
//
// The table is named like the engine's other system tables (MSys...), which the catalog hides.
// Internal to the engine layer.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "locking/lock_file.h"
#include "pg/result.h"

namespace kelvor::pg {

inline constexpr char kRosterTable[] = "msysroster";

// Makes the roster table of `schema` when it has none. Returns false when this role may not
// make it (or the server fails); then connections to the schema stay unregistered.
bool CreateRoster(PGconn* conn, const std::string& schema);

// Connections now open on `schema`, in the order they registered, read without registering.
// Returns the count; -1 when the schema does not exist, -2 when this role may not use it or
// the server fails. A schema without a roster table has nobody registered (0).
int ReadRoster(PGconn* conn, const std::string& schema, std::vector<locking::RosterEntry>& out);

// The same for a database path naming a schema (pg/path.h), on a connection of its own;
// -2 also when the server cannot be reached or the path cannot be read.
int ReadRoster(const std::string& path, std::vector<locking::RosterEntry>& out);

namespace detail {

// What both the roster and the locks need from libpq.

Result Query(PGconn* conn, const std::string& sql, const std::vector<std::string>& params = {});
std::string QuoteIdent(PGconn* conn, const std::string& name);
std::string RosterTable(PGconn* conn, const std::string& schema);  // "schema".msysroster

struct SchemaInfo {
    bool exists = false;
    bool usable = false;  // this role has USAGE on it
    uint32_t oid = 0;
};
SchemaInfo LookUpSchema(PGconn* conn, const std::string& schema);
bool HasRoster(PGconn* conn, const std::string& schema);

// SQL that holds for a granted advisory lock of this database; `key` narrows it down.
std::string AdvisoryLockIn(const char* alias);

}  // namespace detail

}  // namespace kelvor::pg
