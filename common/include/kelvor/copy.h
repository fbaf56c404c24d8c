// Copying databases between storage engines: files to a server, a server to files, or within
// one engine. Each copy is made table by table through the layer, so that every engine
// declares its own column types, and is then checked record for record against its source.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kelvor {

// Where a copy stands. The databases are copied first, every table of each, and then checked;
// the figures count over all databases of one CopyDatabases call.
struct CopyProgress {
    bool checking = false;
    int tablesDone = 0, tables = 0;
    uint64_t rowsDone = 0, rows = 0;
};

struct CopyOptions {
    // Called before anything is made (nothing done yet), after every batch of records and after
    // every table, copied or checked. What it throws stops the copy; everything made so far is
    // removed and it is thrown on.
    std::function<void(const CopyProgress&)> progress;
};

// Copies each source database (a file or a server path, kelvor/server.h) to its destination,
// which is made new: every table with its columns, primary key and indexes, every record
// (counter values as they are; each counter goes on after the highest value copied), and the
// links, saved queries and table guards. A link of a source whose database is one of the
// sources names that source's destination in the copy, so that copies made together link to
// each other. Then every table of each copy is read back beside its source, both in the order
// of its key (or of every column), and compared value for value.
//
// Throws Error: 3204 before anything is made when a destination exists already, 3421 when a
// server destination would get a field of any type (VALUE), whose values keep their own types
// in a file but not in a server's typed column. On any failure (or a difference found by the
// check, 3000) every destination made is removed again. The sources are only read.
void CopyDatabases(const std::vector<std::pair<std::string, std::string>>& sourceToDestination,
                   const CopyOptions& options = {});

}  // namespace kelvor
