// Databases kept on a PostgreSQL server rather than in files. A path names one by libpq's
// connection settings and a schema:
//   postgresql://[user@]host[:port]/database[?param=value...]#schema
//   pg:keyword=value ...#schema
// Passwords never go in a path: ~/.pgpass, a service file or PGPASSWORD hold them.
#pragma once

#include <string>
#include <string_view>

namespace kelvor {

bool NamesServerDatabase(std::string_view path);

// Drops a server database (its schema, with all it holds); nothing when there is none. For
// undoing a creation that failed part way. Throws JetError.
void DropServerDatabase(const std::string& path);

}  // namespace kelvor
