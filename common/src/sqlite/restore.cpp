#include "sqlite/restore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kelvor/jet_error.h"
#include "locking/lock_file.h"
#include "sqlite/compact.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

namespace {

bool exists(const std::string& path) {
    struct stat sb;
    return ::lstat(path.c_str(), &sb) == 0;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x, y;
    return ::lstat(a.c_str(), &x) == 0 && ::lstat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

std::string journalOf(const std::string& db) {
    return db + "-journal";
}

// A journal SQLite would roll back into the file beside it: there and not empty, its header
// not zeroed (zeroing the header is how journal_mode=PERSIST ends a transaction).
bool hasHotJournal(const std::string& db) {
    int fd = ::open(journalOf(db).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char first = 0;
    ssize_t n = ::read(fd, &first, 1);
    ::close(fd);
    return n == 1 && first != 0;
}

JetError unfinishedTransaction(const std::string& backup) {
    return JetError::make(err::kNotImplemented, "the backup '" + backup +
                                                    "' has an unfinished transaction in '" +
                                                    journalOf(backup) + "'.");
}

// SQLite's online backup rather than a copy of the bytes: it reads the backup under SQLite's
// shared lock, so a program writing the backup at that moment cannot give us a torn copy, and
// a read-only connection refuses a hot journal that appeared after our look for one instead
// of reading pages half rolled back.
void copyDatabase(const std::string& backup, const std::string& target) {
    RawConnection from(backup, SQLITE_OPEN_READONLY);
    try {
        Stmt probe(from.db, dialect::ProbeSql("main"), backup);
        probe.step();
    } catch (const JetError& e) {
        if (sqlite3_extended_errcode(from.db) == SQLITE_READONLY_ROLLBACK)
            throw unfinishedTransaction(backup);
        if (e.number() == err::kUnrecognizedFormat || e.number() == err::kSyntaxError)
            throw JetError::make(err::kUnrecognizedFormat, backup);
        throw;
    }
    RawConnection to(target, SQLITE_OPEN_READWRITE);
    // The target is a file of our own that is removed on any failure: no journal, no syncs.
    Exec(to.db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", target);
    sqlite3_backup* b = sqlite3_backup_init(to.db, "main", from.db, "main");
    if (!b) ThrowSqlite(to.db, sqlite3_errcode(to.db), target);
    int rc = sqlite3_backup_step(b, -1);
    sqlite3_backup_finish(b);
    if (rc == SQLITE_DONE) return;
    if (rc == SQLITE_READONLY_ROLLBACK) throw unfinishedTransaction(backup);
    if ((rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB)
        throw JetError::make(err::kCantRepair);
    ThrowSqlite(nullptr, rc, backup);
}

// Where the current file and its journal went; empty when there was none.
struct SetAside {
    std::string database;
    std::string journal;
};

// Moves the database and its journal to the first pair of free names. The journal gets its
// new name (a hard link) before the database moves and loses its old one after: whenever the
// process stops, the old file has its journal beside it, under the old names or the new ones.
void setAside(const std::string& database, SetAside& out) {
    const std::string journal = journalOf(database);
    const bool db = exists(database), jr = exists(journal);
    if (!db && !jr) return;
    for (int n = 1; n <= 1000; ++n) {
        std::string base = database + ".before-restore" + (n > 1 ? "-" + std::to_string(n) : "");
        if (exists(base) || exists(journalOf(base))) continue;
        bool linked = false;
        if (jr) {
            if (::link(journal.c_str(), journalOf(base).c_str()) == 0) {
                linked = true;
            } else if (errno == EEXIST) {
                continue;
            } else if (errno != EPERM && errno != EOPNOTSUPP) {  // no hard links here
                throw JetError::make(err::kDiskError);
            }
        }
        if (db) {
            if (!MoveNoReplace(database, base)) {
                if (linked) ::unlink(journalOf(base).c_str());
                continue;
            }
            out.database = base;
        }
        if (jr) {
            if (linked) {
                out.journal = journalOf(base);
                if (::unlink(journal.c_str()) != 0) throw JetError::make(err::kDiskError);
            } else {
                if (!MoveNoReplace(journal, journalOf(base))) throw JetError::make(err::kDiskError);
                out.journal = journalOf(base);
            }
        }
        return;
    }
    throw JetError::make(err::kFileInUse, database);
}

// Undoes setAside after a later failure, the journal first: the database never comes back
// without it.
void putBack(const SetAside& aside, const std::string& database) noexcept {
    try {
        const std::string journal = journalOf(database);
        if (!aside.journal.empty()) {
            if (sameFile(journal, aside.journal)) {
                ::unlink(aside.journal.c_str());
            } else {
                MoveNoReplace(aside.journal, journal);
            }
        }
        if (!aside.database.empty()) MoveNoReplace(aside.database, database);
    } catch (const JetError&) {
        // What could not go back stays set aside, whole, under its new name.
    }
}

}  // namespace

std::vector<std::string> Restore(const std::string& backup, const std::string& database) {
    struct stat sb;
    if (::stat(backup.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        throw JetError::make(err::kFileNotFound, backup);
    // An empty file opens as an empty database, but no program ever made it as a backup.
    if (sb.st_size == 0) throw JetError::make(err::kUnrecognizedFormat, backup);
    if (hasHotJournal(backup)) throw unfinishedTransaction(backup);

    // Nobody may have the database open, and nobody can open it while its files change.
    auto exclusive = locking::ExclusiveLock::Acquire(database);

    struct stat old;
    const bool hadDatabase = ::lstat(database.c_str(), &old) == 0;
    if (hadDatabase && !S_ISREG(old.st_mode)) throw JetError::make(err::kInvalidPath, database);
    // Without an old file the restored one is made as any new file in that folder is.
    StagedFile copy(database, hadDatabase ? (old.st_mode & 0777) | 0600 : 0666);
    copyDatabase(backup, copy.path());
    copy.startWriteBack();
    CheckDatabase(copy.path());

    SetAside aside;
    try {
        setAside(database, aside);
        // The name must be free of a journal too, or the journal would roll into the copy.
        if (exists(journalOf(database))) throw JetError::make(err::kFileInUse, database);
        copy.publish(hadDatabase ? &old : nullptr);
    } catch (...) {
        putBack(aside, database);
        throw;
    }
    std::vector<std::string> out;
    if (!aside.database.empty()) out.push_back(aside.database);
    if (!aside.journal.empty()) out.push_back(aside.journal);
    return out;
}

}  // namespace kelvor::sqlite
