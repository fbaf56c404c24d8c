#include "sqlite/compact.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvor/jet_error.h"
#include "locking/lock_file.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

namespace {

class Handle {
  public:
    ~Handle() {
        if (db) sqlite3_close_v2(db);
    }
    sqlite3* db = nullptr;
};

void removeCopy(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink((path + "-journal").c_str());
}

// A damaged file reads as a database until the damaged page is reached.
[[noreturn]] void rethrowDamaged(const JetError& e) {
    if (e.number() == err::kUnrecognizedFormat) throw JetError::make(err::kCantRepair);
    throw e;
}

void syncFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw JetError::make(err::kDiskError);
    int rc = ::fsync(fd);
    ::close(fd);
    if (rc != 0) throw JetError::make(err::kDiskError);
}

}  // namespace

void Compact(const std::string& source, const std::string& destination) {
    struct stat sb;
    if (::stat(source.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        throw JetError::make(err::kFileNotFound, source);
    if (::stat(destination.c_str(), &sb) == 0) throw JetError::make(err::kDatabaseExists);

    // Nobody else may have the source open (their later writes would be lost when the copy
    // replaces the file), and nobody may open it while the copy is made.
    auto exclusive = locking::ExclusiveLock::Acquire(source);

    Handle src;
    int rc = sqlite3_open_v2(source.c_str(), &src.db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(src.db, rc, source);
    sqlite3_extended_result_codes(src.db, 1);
    try {
        // A file that is not a database fails here, on its header.
        Stmt probe(src.db, dialect::ProbeSql("main"), source);
        probe.step();
    } catch (const JetError& e) {
        if (e.number() == err::kUnrecognizedFormat || e.number() == err::kSyntaxError)
            throw JetError::make(err::kUnrecognizedFormat, source);
        throw;
    }
    try {
        Exec(src.db, dialect::VacuumIntoSql(destination), source);
    } catch (const JetError& e) {
        removeCopy(destination);
        rethrowDamaged(e);
    }
    try {
        // The copy is about to take the place of the only other copy of the data: it is
        // checked in full (structure, and every index against its table) and synced, whatever
        // VACUUM INTO itself did about syncing in this SQLite version.
        Handle copy;
        rc = sqlite3_open_v2(destination.c_str(), &copy.db, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK) ThrowSqlite(copy.db, rc, destination);
        Exec(copy.db, dialect::kCheckPragmas);
        Stmt check(copy.db, dialect::kIntegrityCheck, destination);
        if (!check.step() || check.text(0) != "ok") throw JetError::make(err::kCantRepair);
        check = Stmt();
        sqlite3_close_v2(copy.db);
        copy.db = nullptr;
        syncFile(destination);
    } catch (const JetError& e) {
        removeCopy(destination);
        rethrowDamaged(e);
    }
}

}  // namespace kelvor::sqlite
