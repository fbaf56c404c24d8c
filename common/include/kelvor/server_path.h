// Database paths that name a schema on a PostgreSQL server rather than a file.
#pragma once

#include <string_view>

namespace kelvor {

// True for "postgresql://...#schema", "postgres://...#schema" and "pg:keyword=value...#schema":
// such a database has no file of its own (no lock file, no size on disk, no backup beside it).
bool IsServerPath(std::string_view path);

}  // namespace kelvor
