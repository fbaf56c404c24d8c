#include "locking/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
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

bool sameFile(int fd, const std::string& path) {
    struct stat a, b;
    if (::fstat(fd, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
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
    if (dbPath.empty() || ::stat(dbPath.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return -1;
    int fd = ::open(LockFilePath(dbPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -2;  // no lock file: nobody has it open
    forEachHeld(fd, kUserArea, kUserSlot, kUserSlots, [&](int u) {
        out.push_back(readUser(fd, u));
        return true;
    });
    ::close(fd);
    return static_cast<int>(out.size());
}

LockFile::LockFile(std::string dbPath, std::string lockPath, int fd)
    : dbPath_(std::move(dbPath)), lockPath_(std::move(lockPath)), fd_(fd) {}

std::unique_ptr<LockFile> LockFile::Connect(const std::string& dbPath, const std::string& user) {
    std::string lockPath = LockFilePath(dbPath);
    int fd = -1;
    // The last user to leave deletes the file; an opener that raced with the deletion holds a
    // lock on a file that is gone and must start again. Compaction holds the file for as long
    // as it runs, so after a short wait the database counts as in use.
    for (int attempt = 0;; ++attempt) {
        fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) throw JetError::make(err::kCantOpenFile, lockPath);
        if (setLock(fd, F_RDLCK, kOpenByte, 1, false)) {
            if (sameFile(fd, lockPath)) break;
            ::close(fd);
            continue;
        }
        ::close(fd);
        if (attempt >= 50) throw JetError::make(err::kFileInUse, dbPath);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::unique_ptr<LockFile> lf(new LockFile(dbPath, lockPath, fd));
    MutexGuard mutex(fd);
    for (int u = 0; u < kUserSlots; ++u) {
        if (conflict(fd, userSlotAt(u), kUserSlot) >= 0) continue;
        writeText(fd, userSlotAt(u), kNameBytes, HostName());
        writeText(fd, userSlotAt(u) + kNameBytes, kNameBytes, user);
        if (!setLock(fd, F_WRLCK, userSlotAt(u), kUserSlot, false)) continue;
        lf->userSlot_ = u;
        return lf;
    }
    throw JetError::make(err::kFileInUse, dbPath);  // every user slot taken
}

LockFile::~LockFile() {
    for (const auto& [name, held] : tables_)
        setLock(fd_, F_UNLCK, tableSlotAt(held.slot), kTableSlot, false);
    if (userSlot_ >= 0) setLock(fd_, F_UNLCK, userSlotAt(userSlot_), kUserSlot, false);
    // The last user deletes the file; holding the open byte exclusively proves nobody else
    // has the database open.
    if (setLock(fd_, F_WRLCK, kOpenByte, 1, false) && sameFile(fd_, lockPath_))
        ::unlink(lockPath_.c_str());
    ::close(fd_);
}

void LockFile::lockTable(const std::string& table) {
    std::string key = lower(table);
    if (auto it = tables_.find(key); it != tables_.end()) {
        ++it->second.count;
        return;
    }
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

std::unique_ptr<ExclusiveLock> ExclusiveLock::Acquire(const std::string& dbPath) {
    std::string lockPath = LockFilePath(dbPath);
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) throw JetError::make(err::kCantOpenFile, lockPath);
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
    if (sameFile(fd_, lockPath_)) ::unlink(lockPath_.c_str());
    ::close(fd_);
}

}  // namespace kelvor::locking
