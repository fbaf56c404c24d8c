#include "sqlite/compact.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "kelvor/jet_error.h"
#include "locking/lock_file.h"
#include "sqlite/dialect.h"
#include "sqlite/statement.h"

namespace kelvor::sqlite {

RawConnection::RawConnection(const std::string& path, int flags) {
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(db, rc, path);
    sqlite3_extended_result_codes(db, 1);
}

RawConnection::~RawConnection() {
    sqlite3_close_v2(db);
}

namespace {

// A damaged file reads as a database until the damaged page is reached.
[[noreturn]] void rethrowDamaged(const JetError& e) {
    if (e.number() == err::kUnrecognizedFormat) throw JetError::make(err::kCantRepair);
    throw e;
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sameFile(int fd, const std::string& path) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

void syncFolder(const std::string& path) {
    int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw JetError::make(err::kDiskError);
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    // A file system that cannot sync a folder says EINVAL; its renames are as durable as it
    // makes them.
    if (rc != 0 && e != EINVAL) throw JetError::make(err::kDiskError);
}

JetError cannotCreate(int e, const std::string& finalPath) {
    if (e == ENOENT || e == ENOTDIR || e == ENAMETOOLONG)
        return JetError::make(err::kInvalidPath, finalPath);
    return JetError::make(err::kCantOpenFile, finalPath);
}

}  // namespace

std::string StagingPath(const std::string& finalPath) {
    auto slash = finalPath.rfind('/');
    std::string folder = slash == std::string::npos ? "." : finalPath.substr(0, slash);
    std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    // A name near the file system's limit of 255 bytes is shortened, keeping a hash of the whole.
    constexpr size_t kRoom = 255 - sizeof(".kelvor-tmp") - sizeof("-journal");
    if (name.size() > kRoom) {
        uint64_t h = 1469598103934665603ull;  // FNV-1a
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
        name = name.substr(0, kRoom - 17) + "~" + hex;
    }
    return folder + "/." + name + ".kelvor-tmp";
}

bool MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        throw JetError::make(err::kDiskError);
    // A second name never replaces anything either; the first one goes once the second exists.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        throw JetError::make(err::kDiskError);
    }
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        throw JetError::make(err::kDiskError);
    }
    return true;
}

StagedFile::StagedFile(std::string finalPath, mode_t mode)
    : final_(std::move(finalPath)), path_(StagingPath(final_)) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) {
            // Another run may be removing it as a leftover between our open and our lock.
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && sameFile(fd, path_)) {
                fd_ = fd;
                return;
            }
            ::close(fd);
            continue;
        }
        if (errno != EEXIST) throw cannotCreate(errno, final_);
        fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            if (errno == ENOENT) continue;
            throw cannotCreate(errno, final_);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            throw JetError::make(err::kFileInUse, final_);
        }
        // Nobody holds it: a killed run left it, perhaps with its journal. It may also be a
        // second name of a file that has since taken its final name: only the names go.
        if (sameFile(fd, path_)) {
            ::unlink((path_ + "-journal").c_str());
            ::unlink(path_.c_str());
        }
        ::close(fd);
    }
    throw JetError::make(err::kFileInUse, final_);
}

StagedFile::~StagedFile() {
    // The lock keeps everyone else off the hidden name, so what is there is ours, unless it
    // has taken its final name.
    if (!placed_ && sameFile(fd_, path_)) {
        ::unlink((path_ + "-journal").c_str());
        ::unlink(path_.c_str());
    }
    ::close(fd_);
}

void StagedFile::startWriteBack() {
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void StagedFile::publish(const struct stat* owner) {
    if (owner) {
        if (::fchown(fd_, owner->st_uid, owner->st_gid) != 0) {
            // Only root gives a file away; a file that stays ours still takes the group and the
            // mode, so that whoever could use the old file can use this one.
            if (errno != EPERM || ::geteuid() == 0 ||
                ::fchown(fd_, static_cast<uid_t>(-1), owner->st_gid) != 0)
                throw JetError::make(err::kCantOpenFile, final_);
        }
        if (::fchmod(fd_, owner->st_mode & 07777) != 0)
            throw JetError::make(err::kCantOpenFile, final_);
    }
    if (::fsync(fd_) != 0) throw JetError::make(err::kDiskError);
    if (!MoveNoReplace(path_, final_)) throw JetError::make(err::kDatabaseExists);
    placed_ = true;
    try {
        syncFolder(final_);
    } catch (const JetError&) {
        // Reported as failed, so it must not stay: a later run would find the name taken.
        if (sameFile(fd_, final_)) ::unlink(final_.c_str());
        throw;
    }
}

void Compact(const std::string& source, const std::string& destination) {
    struct stat src;
    if (::stat(source.c_str(), &src) != 0 || !S_ISREG(src.st_mode))
        throw JetError::make(err::kFileNotFound, source);
    struct stat sb;
    if (::lstat(destination.c_str(), &sb) == 0) throw JetError::make(err::kDatabaseExists);

    // Nobody else may have the source open (their later writes would be lost when the copy
    // replaces the file), and nobody may open it while the copy is made.
    auto exclusive = locking::ExclusiveLock::Acquire(source);
    // The copy is made under a hidden name and takes the destination's name only when it is
    // whole, checked and synced: a run killed at any point leaves nothing under that name.
    StagedFile copy(destination, (src.st_mode & 0777) | 0600);

    {
        RawConnection db(source, SQLITE_OPEN_READWRITE);
        // As the engine's own connections do: a program outside the engine (a backup script,
        // the sqlite3 shell) that holds the file for a moment delays the compaction instead of
        // failing it.
        sqlite3_busy_timeout(db.db, BusyTimeoutMs());
        try {
            // A file that is not a database fails here, on its header.
            Stmt probe(db.db, dialect::ProbeSql("main"), source);
            probe.step();
        } catch (const JetError& e) {
            if (e.number() == err::kUnrecognizedFormat || e.number() == err::kSyntaxError)
                throw JetError::make(err::kUnrecognizedFormat, source);
            throw;
        }
        // VACUUM INTO writes the copy with the source connection's sync setting: the copy is
        // synced once, after the check, rather than at each step of SQLite's commit. Reading
        // the source through a memory map spares copying each page into the page cache.
        Exec(db.db, "PRAGMA synchronous=OFF; PRAGMA mmap_size=2147418112", source);
        try {
            Exec(db.db, dialect::VacuumIntoSql(copy.path()), source);
        } catch (const JetError& e) {
            rethrowDamaged(e);
        }
    }
    copy.startWriteBack();
    // The copy is about to take the place of the only other copy of the data: it is checked
    // in full (structure, and every index against its table).
    CheckDatabase(copy.path());
    copy.publish(&src);
}

}  // namespace kelvor::sqlite
