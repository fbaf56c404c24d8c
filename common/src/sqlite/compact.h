// Compaction of one database file into a new file, and what it shares with restoring a backup:
// the full check of a database file, and a file written under a hidden name beside its final
// one that takes the final name only once it is complete, checked and synced.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

#include "kelvor/dao.h"

struct sqlite3;

namespace kelvor::sqlite {

// A plain SQLite connection to one file, outside any workspace: compaction and restore work on
// files nobody else may have open. Throws JetError when the file cannot be opened.
class RawConnection {
  public:
    RawConnection(const std::string& path, int flags);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    sqlite3* db = nullptr;
};

// Writes a compacted copy of `source` at `destination`; `source` is never modified. The copy
// takes the source's owner, group and permission bits. `options` as CompactDatabase says: its
// progress and what runs while the source is still locked once the copy has its name.
// Throws JetError: 3024 for a missing source, 3204 when the destination exists (or appears
// while the copy is made: it is never replaced), 3356 when anyone has the source open, 3343
// for a file that is not a database, 3056 for a damaged one, 3045 while another compaction
// writes the same destination. Whatever fails, or if the process is killed, nothing is left
// under the destination's name.
void Compact(const std::string& source, const std::string& destination,
             const CompactOptions& options = {});

// Checks a database file in full, as PRAGMA integrity_check does: the structure of every
// b-tree, every page used exactly once, every row against its table's constraints and every
// index against its table. The work is shared between two connections on two threads.
// Throws JetError 3056 when the file is not sound. `tasksDone`, when given, hears after each
// of the check's tasks (a table's rows, an index, the structure) how many of how many are
// done, one call at a time; what it throws stops the check and is thrown on.
void CheckDatabase(const std::string& path,
                   const std::function<void(size_t done, size_t total)>& tasksDone = {});

// The hidden name a file is written under before it takes `finalPath`'s name:
// ".NAME.kelvor-tmp" in the same folder.
std::string StagingPath(const std::string& finalPath);

// Gives `from` the name `to` unless `to` exists, atomically: renameat2(RENAME_NOREPLACE), or
// link() and unlink() on a file system that cannot do that. False when `to` exists; throws
// JetError 3043 on other failures.
bool MoveNoReplace(const std::string& from, const std::string& to);

// A new file under StagingPath(finalPath), locked (flock) for as long as this lives, so that a
// file found there with no lock on it is known to be the leftover of a killed run and is
// removed. Until publish() succeeds the destructor removes the file and its journal.
class StagedFile {
  public:
    // Creates the file, empty, with `mode` as the umask and the folder allow. Throws JetError
    // 3045 when a running operation holds the hidden name, 3044 or 3051 when the folder does
    // not exist or cannot be written.
    StagedFile(std::string finalPath, mode_t mode);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& path() const { return path_; }
    // Starts writing the file's pages to disk while other work goes on; publish() waits for it.
    void startWriteBack();
    // Gives the file `owner`'s owner, group and permission bits (when given), syncs it, gives it
    // the final name unless something has that name (3204) and syncs the folder.
    void publish(const struct stat* owner);
    // Takes back a published file: the final name goes, if it is still this file's.
    void withdraw();

  private:
    std::string final_;
    std::string path_;
    int fd_ = -1;
    bool placed_ = false;
};

}  // namespace kelvor::sqlite
