#include "locking/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "kelvor/jet_error.h"

namespace kelvor::locking {

namespace {

constexpr off_t kOpenByte = 0;
constexpr off_t kMutexByte = 1;
constexpr off_t kTableArea = 1024;
constexpr off_t kTableSlot = 256;
constexpr int kTableSlots = 64;
constexpr off_t kTableNameBytes = 248;  // then the holder's user slot as 4 bytes
constexpr off_t kUserArea = kTableArea + kTableSlot * kTableSlots;
constexpr off_t kUserSlot = 128;
constexpr int kUserSlots = 255;
constexpr off_t kNameBytes = 64;
constexpr off_t kFileEnd = kUserArea + kUserSlot * kUserSlots;
constexpr off_t kSignatureAt = 8;
constexpr char kSignature[] = "Kelvor lock information 2";  // written with its NUL

bool setLock(int fd, short type, off_t start, off_t len, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// Start of the first lock that another open file description holds in [start, start + len),
// or -1 when there is none.
off_t conflict(int fd, off_t start, off_t len) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return -1;
    if (fl.l_type == F_UNLCK) return -1;
    return fl.l_start < start ? start : fl.l_start;
}

std::string readText(int fd, off_t at, off_t len) {
    std::string buf(static_cast<size_t>(len), '\0');
    ssize_t n = ::pread(fd, buf.data(), static_cast<size_t>(len), at);
    if (n <= 0) return {};
    buf.resize(static_cast<size_t>(n));
    auto nul = buf.find('\0');
    if (nul != std::string::npos) buf.resize(nul);
    return buf;
}

void writeText(int fd, off_t at, off_t len, const std::string& text) {
    std::string buf(static_cast<size_t>(len), '\0');
    std::memcpy(buf.data(), text.data(), std::min(text.size(), static_cast<size_t>(len - 1)));
    if (::pwrite(fd, buf.data(), buf.size(), at) != static_cast<ssize_t>(buf.size()))
        throw JetError::make(err::kDiskError);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Whether `path` still names the file open as `fd` (itself, not a link to it).
bool sameFile(int fd, const std::string& path) {
    struct stat a, b;
    if (::fstat(fd, &a) != 0 || ::lstat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

off_t userSlotAt(int u) {
    return kUserArea + kUserSlot * u;
}
off_t tableSlotAt(int k) {
    return kTableArea + kTableSlot * k;
}

RosterEntry readUser(int fd, int u) {
    return RosterEntry{readText(fd, userSlotAt(u), kNameBytes),
                       readText(fd, userSlotAt(u) + kNameBytes, kNameBytes)};
}

// Runs `f(slot)` for every slot of an area that another connection holds, in slot order;
// stops when f returns false. The kernel reports one conflicting lock per query, not the
// lowest one, so the area is split around each lock found and both sides are searched.
template <typename F>
void forEachHeld(int fd, off_t area, off_t slotSize, int slots, F f) {
    std::vector<int> held;
    std::vector<std::pair<int, int>> ranges{{0, slots}};  // [first, last) slots to search
    while (!ranges.empty()) {
        auto [lo, hi] = ranges.back();
        ranges.pop_back();
        if (lo >= hi) continue;
        off_t c = conflict(fd, area + slotSize * lo, slotSize * (hi - lo));
        if (c < 0) continue;
        int slot = static_cast<int>((c - area) / slotSize);
        if (slot < lo || slot >= hi) continue;
        held.push_back(slot);
        ranges.emplace_back(lo, slot);
        ranges.emplace_back(slot + 1, hi);
    }
    std::sort(held.begin(), held.end());
    for (int slot : held)
        if (!f(slot)) return;
}

// Holds the mutex byte while alive.
class MutexGuard {
  public:
    explicit MutexGuard(int fd) : fd_(fd) {
        if (!setLock(fd_, F_WRLCK, kMutexByte, 1, true)) throw JetError::make(err::kDiskError);
    }
    ~MutexGuard() { setLock(fd_, F_UNLCK, kMutexByte, 1, false); }

  private:
    int fd_;
};

[[noreturn]] void refuse(const std::string& path) {
    throw JetError::make(err::kCantOpenFile, path);
}

// The database a path names, links resolved, so that every name of one database finds the
// same lock file. Empty when it is not a regular file.
std::string resolveDatabase(const std::string& dbPath, struct stat& sb) {
    char resolved[PATH_MAX];
    if (dbPath.empty() || !::realpath(dbPath.c_str(), resolved)) return {};
    if (::stat(resolved, &sb) != 0 || !S_ISREG(sb.st_mode)) return {};
    return resolved;
}

// "X.ldb" would be its own lock file. Any case counts: on a case-blind share "X.LDB" and its
// lock file "X.ldb" are one file. Refusing the name is the only way out: a lock file name of
// another form ("X.ldb.ldb") is the lock file name of another database ("X.ldb.mdb").
bool isLockFileName(const std::string& path) {
    return path.size() >= 4 && lower(path.substr(path.size() - 4)) == ".ldb";
}

enum class Content { Ours, Usable, Foreign };

// What the file at the lock path holds. Empty is usable: its maker has yet to sign it. The
// previous version's layout is recognised strictly enough that no other file passes for it:
// no longer than the slots reach, nothing in the header, and every slot as its writer leaves
// it (each name field ends in a NUL, a holder names a user slot, the padding is zero).
Content classify(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Content::Foreign;
    if (st.st_size == 0) return Content::Usable;
    char head[kSignatureAt + sizeof kSignature];
    if (::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
        std::memcmp(head + kSignatureAt, kSignature, sizeof kSignature) == 0)
        return Content::Ours;
    if (st.st_size > kFileEnd) return Content::Foreign;
    std::string buf(static_cast<size_t>(kFileEnd), '\0');  // past the end reads as zeros
    if (::pread(fd, buf.data(), static_cast<size_t>(st.st_size), 0) != st.st_size)
        return Content::Foreign;
    auto zero = [&](off_t at, off_t len) {
        return std::all_of(buf.begin() + at, buf.begin() + at + len,
                           [](char c) { return c == '\0'; });
    };
    if (!zero(0, kTableArea)) return Content::Foreign;
    for (int k = 0; k < kTableSlots; ++k) {
        off_t at = tableSlotAt(k);
        uint32_t holder;
        std::memcpy(&holder, buf.data() + at + kTableNameBytes, sizeof holder);
        if (buf[at + kTableNameBytes - 1] != '\0' || holder >= kUserSlots ||
            !zero(at + kTableNameBytes + 4, kTableSlot - kTableNameBytes - 4))
            return Content::Foreign;
    }
    for (int u = 0; u < kUserSlots; ++u) {
        if (buf[userSlotAt(u) + kNameBytes - 1] != '\0' ||
            buf[userSlotAt(u) + 2 * kNameBytes - 1] != '\0')
            return Content::Foreign;
    }
    return Content::Usable;
}

bool sign(int fd) {
    return ::pwrite(fd, kSignature, sizeof kSignature, kSignatureAt) ==
           static_cast<ssize_t>(sizeof kSignature);
}

// Deletes the lock file if `path` still names it and it is still a lock file of ours.
void removeIfOurs(int fd, const std::string& path) {
    char got[sizeof kSignature];
    if (sameFile(fd, path) && ::pread(fd, got, sizeof got, kSignatureAt) == sizeof got &&
        std::memcmp(got, kSignature, sizeof got) == 0)
        ::unlink(path.c_str());
}

// Gives a new lock file the database's owner and group (as far as this account may) and its
// read and write bits, whatever the umask, so that every account that may write the database
// may register in it.
void likeDatabase(int fd, const struct stat& db) {
    if (::fchown(fd, db.st_uid, db.st_gid) != 0) {
        // Only root may give a file away. An account outside the database's group cannot
        // give it the group either, and then nothing better can be done.
        [[maybe_unused]] int rc = ::fchown(fd, static_cast<uid_t>(-1), db.st_gid);
    }
    [[maybe_unused]] int rc = ::fchmod(fd, db.st_mode & 0666);
}

struct Opened {
    int fd = -1;
    bool writable = false;
};

// Opens (or, for an account that may write the database, makes) the lock file at `lockPath`.
// Without `needWrite`, a lock file this account may only read is opened for reading; one that
// does not exist and may not be made gives fd -1. Throws 3051 for anything else: a link,
// something other than a regular file with one name, a file that is not a lock file.
Opened openLockFile(const std::string& lockPath, const struct stat& db, bool mayCreate,
                    bool needWrite) {
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    for (;;) {
        Opened o{::open(lockPath.c_str(), O_RDWR | kFlags), true};
        if (o.fd < 0 && errno == ENOENT) {
            if (!mayCreate) {
                if (needWrite) refuse(lockPath);
                return Opened{};
            }
            o.fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, db.st_mode & 0666);
            if (o.fd < 0 && errno == EEXIST) continue;
            if (o.fd < 0) refuse(lockPath);
            likeDatabase(o.fd, db);
            if (!sign(o.fd)) {
                // Removed unless another opener has taken it up meanwhile.
                if (setLock(o.fd, F_WRLCK, kOpenByte, 1, false) && sameFile(o.fd, lockPath))
                    ::unlink(lockPath.c_str());
                ::close(o.fd);
                throw JetError::make(err::kDiskError);
            }
            return o;
        }
        if (o.fd < 0 && errno == EACCES && !needWrite) {
            o = Opened{::open(lockPath.c_str(), O_RDONLY | kFlags), false};
            if (o.fd < 0 && errno == ENOENT) continue;
        }
        if (o.fd < 0) refuse(lockPath);
        struct stat st;
        Content c = Content::Foreign;
        if (::fstat(o.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) c = classify(o.fd);
        if (c == Content::Foreign || (c == Content::Usable && o.writable && !sign(o.fd))) {
            ::close(o.fd);
            refuse(lockPath);
        }
        return o;
    }
}

}  // namespace

std::string LockFilePath(const std::string& dbPath) {
    auto slash = dbPath.rfind('/');
    auto dot = dbPath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return dbPath + ".ldb";
    return dbPath.substr(0, dot) + ".ldb";
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

int ReadRoster(const std::string& dbPath, std::vector<RosterEntry>& out) {
    out.clear();
    struct stat sb;
    std::string db = resolveDatabase(dbPath, sb);
    if (db.empty()) return -1;
    if (isLockFileName(db)) return -2;
    int fd =
        ::open(LockFilePath(db).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -2;  // no lock file: nobody has it open
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        classify(fd) == Content::Foreign) {
        ::close(fd);
        return -2;
    }
    forEachHeld(fd, kUserArea, kUserSlot, kUserSlots, [&](int u) {
        out.push_back(readUser(fd, u));
        return true;
    });
    ::close(fd);
    return static_cast<int>(out.size());
}

LockFile::LockFile(std::string dbPath, std::string lockPath, int fd, bool writable)
    : dbPath_(std::move(dbPath)), lockPath_(std::move(lockPath)), fd_(fd), writable_(writable) {}

std::unique_ptr<LockFile> LockFile::Connect(const std::string& path, const std::string& user) {
    struct stat sb;
    std::string dbPath = resolveDatabase(path, sb);
    if (dbPath.empty()) throw JetError::make(err::kFileNotFound, path);
    if (isLockFileName(dbPath)) refuse(path);
    std::string lockPath = LockFilePath(dbPath);
    bool mayWrite = ::faccessat(AT_FDCWD, dbPath.c_str(), W_OK, AT_EACCESS) == 0;
    Opened o;
    // The last user to leave deletes the file; an opener that raced with the deletion holds a
    // lock on a file that is gone and must start again. Compaction holds the file for as long
    // as it runs, so after a short wait the database counts as in use.
    for (int attempt = 0;; ++attempt) {
        o = openLockFile(lockPath, sb, mayWrite, false);
        if (o.fd < 0) return std::unique_ptr<LockFile>(new LockFile(dbPath, lockPath, -1, false));
        if (setLock(o.fd, F_RDLCK, kOpenByte, 1, false)) {
            if (sameFile(o.fd, lockPath)) break;
            ::close(o.fd);
            continue;
        }
        ::close(o.fd);
        if (attempt >= 50) throw JetError::make(err::kFileInUse, dbPath);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::unique_ptr<LockFile> lf(new LockFile(dbPath, lockPath, o.fd, o.writable));
    if (!o.writable) return lf;
    MutexGuard mutex(o.fd);
    for (int u = 0; u < kUserSlots; ++u) {
        if (conflict(o.fd, userSlotAt(u), kUserSlot) >= 0) continue;
        writeText(o.fd, userSlotAt(u), kNameBytes, HostName());
        writeText(o.fd, userSlotAt(u) + kNameBytes, kNameBytes, user);
        if (!setLock(o.fd, F_WRLCK, userSlotAt(u), kUserSlot, false)) continue;
        lf->userSlot_ = u;
        return lf;
    }
    throw JetError::make(err::kFileInUse, dbPath);  // every user slot taken
}

LockFile::~LockFile() {
    if (fd_ < 0) return;
    for (const auto& [name, held] : tables_)
        setLock(fd_, F_UNLCK, tableSlotAt(held.slot), kTableSlot, false);
    if (userSlot_ >= 0) setLock(fd_, F_UNLCK, userSlotAt(userSlot_), kUserSlot, false);
    // The last user deletes the file; holding the open byte exclusively proves nobody else
    // has the database open.
    if (writable_ && setLock(fd_, F_WRLCK, kOpenByte, 1, false)) removeIfOurs(fd_, lockPath_);
    ::close(fd_);
}

void LockFile::lockTable(const std::string& table) {
    std::string key = lower(table);
    if (auto it = tables_.find(key); it != tables_.end()) {
        ++it->second.count;
        return;
    }
    if (!writable_) throw JetError::make(err::kLockedTableInUse, table);
    MutexGuard mutex(fd_);
    int holderSlot = -1;
    forEachHeld(fd_, kTableArea, kTableSlot, kTableSlots, [&](int k) {
        if (readText(fd_, tableSlotAt(k), kTableNameBytes) != key) return true;
        uint32_t u = 0;
        ::pread(fd_, &u, sizeof u, tableSlotAt(k) + kTableNameBytes);
        holderSlot = static_cast<int>(u);
        return false;
    });
    if (holderSlot >= 0) {
        RosterEntry who = holderSlot < kUserSlots ? readUser(fd_, holderSlot) : RosterEntry{};
        throw JetError::make(err::kTableLocked, table, who.user, who.workstation);
    }
    for (int k = 0; k < kTableSlots; ++k) {
        bool ours = false;
        for (const auto& [n, held] : tables_) ours = ours || held.slot == k;
        if (ours || conflict(fd_, tableSlotAt(k), kTableSlot) >= 0) continue;
        writeText(fd_, tableSlotAt(k), kTableNameBytes, key);
        uint32_t u = static_cast<uint32_t>(userSlot_);
        if (::pwrite(fd_, &u, sizeof u, tableSlotAt(k) + kTableNameBytes) != sizeof u)
            throw JetError::make(err::kDiskError);
        if (!setLock(fd_, F_WRLCK, tableSlotAt(k), kTableSlot, false)) continue;
        tables_[key] = Held{k, 1};
        return;
    }
    throw JetError::make(err::kLockedTableInUse, table);
}

void LockFile::unlockTable(const std::string& table) {
    auto it = tables_.find(lower(table));
    if (it == tables_.end()) return;
    if (--it->second.count > 0) return;
    setLock(fd_, F_UNLCK, tableSlotAt(it->second.slot), kTableSlot, false);
    tables_.erase(it);
}

void LockFile::checkWritable(const std::vector<std::string>& tables) const {
    if (fd_ < 0) return;  // unregistered: this account may not write the database anyway
    std::string denied;
    forEachHeld(fd_, kTableArea, kTableSlot, kTableSlots, [&](int k) {
        std::string name = readText(fd_, tableSlotAt(k), kTableNameBytes);
        for (const auto& t : tables) {
            if (lower(t) == name) {
                denied = t;
                return false;
            }
        }
        return true;
    });
    if (!denied.empty()) throw JetError::make(err::kReadOnly);
}

std::unique_ptr<ExclusiveLock> ExclusiveLock::Acquire(const std::string& path) {
    struct stat sb;
    std::string dbPath = resolveDatabase(path, sb);
    bool mayWrite = false;
    if (dbPath.empty()) {
        // A name that holds no database yet (a restore into it): its lock file keeps everyone
        // out all the same, and takes the folder's group and read/write bits.
        struct stat own;
        if (path.empty() || ::lstat(path.c_str(), &own) == 0 || errno != ENOENT)
            throw JetError::make(err::kFileNotFound, path);
        auto slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        char resolved[PATH_MAX];
        if (!::realpath(folder.c_str(), resolved) || ::stat(resolved, &sb) != 0 ||
            !S_ISDIR(sb.st_mode))
            throw JetError::make(err::kFileNotFound, path);
        mayWrite = ::faccessat(AT_FDCWD, resolved, W_OK, AT_EACCESS) == 0;
        sb.st_mode = S_IFREG | (sb.st_mode & 0666);
        dbPath = std::string(resolved) + "/" +
                 (slash == std::string::npos ? path : path.substr(slash + 1));
    } else {
        mayWrite = ::faccessat(AT_FDCWD, dbPath.c_str(), W_OK, AT_EACCESS) == 0;
    }
    if (isLockFileName(dbPath)) refuse(path);
    std::string lockPath = LockFilePath(dbPath);
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = openLockFile(lockPath, sb, mayWrite, true).fd;
        if (setLock(fd, F_WRLCK, kOpenByte, 1, false)) {
            if (sameFile(fd, lockPath))
                return std::unique_ptr<ExclusiveLock>(new ExclusiveLock(lockPath, fd));
            ::close(fd);
            continue;
        }
        ::close(fd);
        std::vector<RosterEntry> users;
        if (ReadRoster(dbPath, users) > 0)
            throw JetError::make(err::kOpenedByOther, users[0].user, users[0].workstation);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw JetError::make(err::kFileInUse, dbPath);
}

ExclusiveLock::~ExclusiveLock() {
    removeIfOurs(fd_, lockPath_);
    ::close(fd_);
}

}  // namespace kelvor::locking
