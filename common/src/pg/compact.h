// Compaction of a database that is a schema on a PostgreSQL server: the schema is compacted in
// place, each of its tables rewritten by VACUUM FULL and its statistics renewed by ANALYZE.
// The server keeps its own write-ahead log, so a rewrite that fails or is killed leaves the
// table as it was; there is no copy to check, no backup and no file to swap in.
//
// The exclusion. Every connection that opens a schema (LockSession::Connect) holds the
// session-level advisory key (schema OID, 0) of the two-int key space shared; a compaction
// holds it exclusively, on a connection of its own, from before its first table until after
// `whileLocked`. So a compaction is refused while anyone has the schema open, and an open is
// refused while a compaction runs, as the lock file's "open" byte does for a file. Roster
// entries use (schema OID, entry id) with ids from 1, so 0 never meets one of them, and table
// locks live in the one-bigint key space (roster.h, locks.h). A client that dies frees the key
// with its backend.
// Internal to the engine layer.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>

#include "kelvor/dao.h"

namespace kelvor::pg {

// The second half of the schema's "open / being compacted" key; the first is its OID.
inline constexpr int32_t kSchemaUseKey = 0;

// Compacts the schema `path` names (pg/path.h). `destination` must be empty or name the same
// schema on the same server (3032 otherwise): the schema is compacted where it is.
// Progress counts the schema's pages (its tables' sizes before, each at least one page), done
// as each table is finished; while a large table is rewritten the count is reported again,
// unchanged, about every 200 ms, so that a caller's stop request is heard. What the callback
// throws cancels the table in progress (it stays as it was) and is thrown on; tables already
// done stay compacted, their rows unchanged.
// Throws JetError: 3044 for a path that cannot be read, 3043 when the server cannot be reached
// or fails, 3024 when the schema does not exist, 3051 when this role may not use it or may not
// vacuum one of its tables, 3356 naming a user when anyone has the schema open, 3045 while
// another compaction of it runs, 3218 when a program outside the engine holds a table longer
// than the busy timeout (KELVOR_BUSY_TIMEOUT_MS), 3026 when the server runs out of disk space.
void Compact(const std::string& path, const std::string& destination,
             const CompactOptions& options = {});

}  // namespace kelvor::pg
