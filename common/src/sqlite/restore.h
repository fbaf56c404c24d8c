// Putting a backup in the place of a database file.
#pragma once

#include <string>
#include <vector>

namespace kelvor::sqlite {

// Replaces the database at `database` with a checked copy of `backup`. The current file and
// its rollback journal are first moved aside together, as `DATABASE.before-restore` and
// `DATABASE.before-restore-journal` (or "...before-restore-2", "-3"... when those names are
// taken), so that a journal left by a killed program never rolls back into the restored file
// and the old state can still be opened. A journal without its database is moved aside too.
// The restored file takes the old file's owner, group and mode. Returns the paths set aside,
// the database's first.
// Throws JetError: 3024 for a missing backup, 3343 for one that is not a database, 3056 for a
// damaged one, 3032 for one with an unfinished transaction (a hot journal) beside it, 3356
// when anyone has `database` open. On failure the files are as they were.
std::vector<std::string> Restore(const std::string& backup, const std::string& database);

}  // namespace kelvor::sqlite
