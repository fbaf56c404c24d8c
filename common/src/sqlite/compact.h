// Compaction of one database file into a new file.
#pragma once

#include <string>

namespace kelvor::sqlite {

// Writes a compacted copy of `source` at `destination`; `source` is never modified.
// Throws JetError: 3024 for a missing source, 3204 when the destination exists, 3356 when
// anyone has the source open, 3343 for a file that is not a database, 3056 for a damaged one.
// A failed or partial copy is removed.
void Compact(const std::string& source, const std::string& destination);

}  // namespace kelvor::sqlite
