// The lock-information file kept beside every open database ("DT.mdb" -> "DT.ldb"). It lists
// who has the database open and carries the table locks, with Linux open-file-description
// locks: a lock belongs to the open file, not to the process, so two connections of one
// process are two users, and a holder that dies (even by kill -9) frees its locks at once.
//
// Layout (byte offsets):
//   0            "open" byte: every connection holds it shared; compaction holds it exclusive
//   1            mutex byte: taken briefly while a user or table slot is chosen
//   8            signature: "Kelvor lock information 2" and a NUL; the rest of 0..1023 is zero
//   1024 + 256k  table slot k (k < 64): table name, NUL-terminated, then the holder's user slot
//   17408 + 128u user slot u (u < 255): workstation name (64 bytes), user name (64 bytes)
// A slot is in use exactly while some connection holds a write lock on its bytes; its text is
// written before the lock is taken, so whoever sees the lock sees the right names.
//
// The folder of a database is often shared, so the layer trusts nothing it finds at the lock
// path: it opens no link, nothing but a regular file with one name, and writes or deletes only
// a file that carries the signature, is empty (being made), or has the previous version's
// layout (no signature, everything else as above; a killed program of that version may have
// left one). Anything else is refused with 3051 and left as it is. A database whose name ends
// in ".ldb" is refused the same way: its lock file would be the database itself.
//
// A lock file takes the database's owner (where the account may give it), group and read and
// write bits, so whoever may write the database may register in it. Only an account that may
// write the database makes the lock file; one that may only read it must not leave behind a
// file that its writers cannot use. Such an account (or any account that may open the lock
// file only for reading) still opens the database: it holds the "open" byte shared, so
// compaction waits for it, has no roster entry, sees other users' table locks, and is refused
// table locks of its own with 3211. Without any lock file it reads unregistered.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kelvor::locking {

struct RosterEntry {
    std::string workstation;
    std::string user;
};

std::string LockFilePath(const std::string& dbPath);
std::string HostName();

// Connections now open on the database at `dbPath`, read without opening the database.
// Returns the count, or a negative number when the database does not exist or its lock file
// cannot be read or is not a lock file.
int ReadRoster(const std::string& dbPath, std::vector<RosterEntry>& out);

class LockFile {
  public:
    // Registers a connection of `user` from this workstation. Throws JetError 3045 when the
    // database is opened exclusively (being compacted), 3051 when the lock file cannot be made
    // or what is at its path is not a lock file, or the database's name ends in ".ldb".
    static std::unique_ptr<LockFile> Connect(const std::string& dbPath, const std::string& user);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Deny-write lock on a table. Throws 3262 naming the holder when another connection holds
    // it, 3211 when this connection could not register for writing. A connection may take the
    // same table more than once; each take is released once.
    void lockTable(const std::string& table);
    void unlockTable(const std::string& table);
    // Throws 3027 when another connection holds a deny-write lock on any of `tables`.
    void checkWritable(const std::vector<std::string>& tables) const;

  private:
    LockFile(std::string dbPath, std::string lockPath, int fd, bool writable);
    std::string dbPath_, lockPath_;
    int fd_;  // -1: reading unregistered, there being no lock file this account may make
    bool writable_;
    int userSlot_ = -1;
    struct Held {
        int slot;
        int count;
    };
    std::unordered_map<std::string, Held> tables_;  // by lower-cased name

    friend class ExclusiveLock;
};

// Sole use of a database, for compaction: nobody else may have it open, and nobody can open
// it while this lives. Throws 3356 naming a user who has it open, 3051 as Connect does (and
// when this account may not write the lock file). A name that holds no database yet is
// locked all the same (a restore makes one there).
class ExclusiveLock {
  public:
    static std::unique_ptr<ExclusiveLock> Acquire(const std::string& dbPath);
    ~ExclusiveLock();
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    ExclusiveLock(std::string lockPath, int fd) : lockPath_(std::move(lockPath)), fd_(fd) {}
    std::string lockPath_;
    int fd_;
};

}  // namespace kelvor::locking
