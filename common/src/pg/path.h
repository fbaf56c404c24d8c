// A database path that names a schema in a PostgreSQL database rather than a file.
//
//   postgresql://[user@]host[:port]/database[?param=value...]#schema
//   pg:keyword=value ...#schema          (libpq's keyword/value form: service=acme, host=...)
//
// Everything before the last '#' is given to libpq as written, so service files, ~/.pgpass and
// the PG* variables work as PostgreSQL users expect. Internal to the engine layer.
#pragma once

#include <string>
#include <string_view>

namespace kelvor::pg {

struct ServerPath {
    std::string conninfo;  // for libpq
    std::string schema;    // one Kelvor database
    // The same server and database, however the path spells it: databases that share it share
    // one connection, and so one transaction.
    std::string serverKey;
    // The path as messages may show it: libpq's settings, never a password.
    std::string shown;
};

bool NamesServer(std::string_view path);

// Throws 3044 for a path libpq cannot read, one without a valid schema, and one that holds a
// password: paths cross the bus and reach logs and command lines, so passwords belong in
// ~/.pgpass, a service file or PGPASSWORD.
ServerPath ParseServerPath(std::string_view path);

}  // namespace kelvor::pg
