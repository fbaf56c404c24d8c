#include "sqlite/compact.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>

#include "kelvor/jet_error.h"
#include "locking/lock_file.h"
#include "sqlite/collation.h"
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

// Progress in pages, as CompactOptions describes it: the copy's pages as its file grows, then
// the same number again in shares as the check's tasks finish. Only a step forward is
// reported, one call at a time.
class PageProgress {
  public:
    explicit PageProgress(const std::function<void(uint64_t, uint64_t)>& report)
        : report_(report) {}
    explicit operator bool() const { return static_cast<bool>(report_); }
    void start(uint64_t pagesToCopy) {
        pages_ = std::max<uint64_t>(pagesToCopy, 1);
        at(0);
    }
    void copied(uint64_t pages) { at(std::min(pages, pages_)); }
    // The last step waits for the copy to take its name.
    void checked(size_t done, size_t tasks) {
        at(std::min(pages_ + pages_ * done / std::max<size_t>(tasks, 1), 2 * pages_ - 1));
    }
    void finished() { at(2 * pages_); }

  private:
    void at(uint64_t done) {
        std::lock_guard<std::mutex> lock(m_);
        if (reported_ && done <= done_) return;
        reported_ = true;
        done_ = done;
        report_(done, 2 * pages_);
    }
    const std::function<void(uint64_t, uint64_t)>& report_;
    std::mutex m_;
    uint64_t pages_ = 1, done_ = 0;
    bool reported_ = false;
};

// SQLite's progress handler during VACUUM INTO: the copy's size in pages. VACUUM INTO lets its
// page cache spill, so the file grows as the copy goes, a cache's worth behind it.
struct CopyWatch {
    PageProgress* progress;
    const std::string* copyPath;
    int64_t pageSize;
    std::exception_ptr failure;
};

int watchCopy(void* p) {
    auto* w = static_cast<CopyWatch*>(p);
    struct stat sb;
    if (::stat(w->copyPath->c_str(), &sb) != 0) return 0;
    try {
        w->progress->copied(static_cast<uint64_t>(sb.st_size / w->pageSize));
    } catch (...) {
        // Exceptions cannot cross SQLite: the statement is interrupted and this is thrown after.
        w->failure = std::current_exception();
        return 1;
    }
    return 0;
}

// Between the VM instructions of VACUUM INTO, a few per row copied; often enough for a smooth
// bar, seldom enough that the stat() calls cost nothing measurable.
constexpr int kWatchEvery = 10000;

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

void StagedFile::withdraw() {
    if (placed_ && sameFile(fd_, final_)) ::unlink(final_.c_str());
}

void Compact(const std::string& source, const std::string& destination,
             const CompactOptions& options) {
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
    PageProgress progress(options.progress);

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
        // VACUUM INTO carries the indexes over as they are ordered: a file written before text
        // was ordered for all letters keeps SQLite's own NOCASE until the layer opens it.
        if (HasTextOrder(db.db, "main")) RegisterCollation(db.db);
        // VACUUM INTO writes the copy with the source connection's sync setting: the copy is
        // synced once, after the check, rather than at each step of SQLite's commit. Reading
        // the source through a memory map spares copying each page into the page cache.
        Exec(db.db, "PRAGMA synchronous=OFF; PRAGMA mmap_size=2147418112", source);
        CopyWatch watch{&progress, &copy.path(), 1, nullptr};
        try {
            if (progress) {
                Stmt pages(db.db, dialect::kPagesInUse, source);
                pages.step();
                watch.pageSize = std::max<int64_t>(pages.integer(1), 1);
                progress.start(static_cast<uint64_t>(std::max<int64_t>(pages.integer(0), 0)));
                sqlite3_progress_handler(db.db, kWatchEvery, watchCopy, &watch);
            }
            Exec(db.db, dialect::VacuumIntoSql(copy.path()), source);
        } catch (const JetError& e) {
            if (watch.failure) std::rethrow_exception(watch.failure);
            rethrowDamaged(e);
        }
        sqlite3_progress_handler(db.db, 0, nullptr, nullptr);
    }
    copy.startWriteBack();
    // The copy is about to take the place of the only other copy of the data: it is checked
    // in full (structure, and every index against its table).
    if (progress) {
        progress.copied(UINT64_MAX);
        CheckDatabase(copy.path(),
                      [&](size_t done, size_t tasks) { progress.checked(done, tasks); });
    } else {
        CheckDatabase(copy.path());
    }
    copy.publish(&src);
    // The last report may still stop the compaction (a user's Ctrl-C): then, as for any
    // earlier one, nothing stays under the destination's name.
    if (progress) {
        try {
            progress.finished();
        } catch (...) {
            copy.withdraw();
            throw;
        }
    }
    // Still under the exclusive lock: a caller that puts the copy in the source's place does it
    // here, so that nobody writes to the source between the copy and the swap.
    if (options.whileLocked) options.whileLocked();
}

}  // namespace kelvor::sqlite
