// The database the fuzzers run against, made once per process in a temporary folder that is
// removed at exit: tables with every column type, the names the SQL corpus uses (so that its
// statements make useful seeds), a few rows with Nulls and edge values, a link to a table of a
// second database, and saved queries.
#pragma once

#include <string>

namespace kelvor::fuzz {

// The fixture database's path; the first call makes it (through the default workspace).
const std::string& FixturePath();

}  // namespace kelvor::fuzz
