// The function library on PostgreSQL: the collation kelvor.kelvor_text and the kv_* functions
// of schema "kelvor", in SQL and PL/pgSQL only (trusted languages: no extension, no superuser
// at run time), with the names and meanings of the SQLite side's functions where PostgreSQL
// does not give the engine's answer itself. Also how PostgreSQL's failures become JetErrors.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "kelvor/jet_error.h"
#include "pg/result.h"

namespace kelvor::pg {

// The library's version; InstallLibrary replaces an older library and leaves a newer one.
inline constexpr int kLibraryVersion = 2;

// Installs the library into the connection's database unless this version or a newer one is
// there already. It needs the right to create a schema (once), not a superuser.
// Several programs may call it at once: it runs under a transaction-level advisory lock.
// Throws JetError.
void InstallLibrary(PGconn* conn);

// The engine's error for a failed result: the library's run-time errors carry the engine's
// number in their message ("kelvor runtime error N"), PostgreSQL's own are mapped by SQLSTATE
// (22012 division by zero 11, 22003 overflow 6, 23505 duplicate key 3022, ...).
JetError ErrorOf(const PGresult* res);

// Runs `sql` with text parameters (a null pointer for Null); throws the engine's error.
Result Exec(PGconn* conn, const std::string& sql, const std::vector<const char*>& params = {});

}  // namespace kelvor::pg
