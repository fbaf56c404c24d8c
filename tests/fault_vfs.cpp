#include "fault_vfs.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kelvor::test {

namespace {

struct State {
    sqlite3_vfs* real = nullptr;
    int counts[3] = {};
    bool armed = false;
    bool crash = false;
    bool persistent = false;
    FaultVfs::Op op = FaultVfs::Op::Write;
    int nth = 0;
    int code = SQLITE_IOERR;
    bool fired = false;
};

State g;

// Our file: the methods below, then the real VFS's file in the same allocation.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<ShimFile*>(f)->real;
}

// The error to return for this operation, or SQLITE_OK to let it through.
int fault(FaultVfs::Op op) {
    int n = ++g.counts[static_cast<int>(op)];
    if (!g.armed || op != g.op) return SQLITE_OK;
    if (n != g.nth && !(g.persistent && n > g.nth)) return SQLITE_OK;
    g.fired = true;
    if (g.crash) _exit(86);
    return g.code;
}

int shimClose(sqlite3_file* f) {
    sqlite3_file* r = real(f);
    int rc = r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
    f->pMethods = nullptr;
    return rc;
}
int shimRead(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
    return real(f)->pMethods->xRead(real(f), buf, n, off);
}
int shimWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    if (int rc = fault(FaultVfs::Op::Write)) return rc;
    return real(f)->pMethods->xWrite(real(f), buf, n, off);
}
int shimTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (int rc = fault(FaultVfs::Op::Truncate)) return rc;
    return real(f)->pMethods->xTruncate(real(f), size);
}
int shimSync(sqlite3_file* f, int flags) {
    if (int rc = fault(FaultVfs::Op::Sync)) return rc;
    return real(f)->pMethods->xSync(real(f), flags);
}
int shimFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int shimLock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}
int shimUnlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}
int shimCheckReserved(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int shimFileControl(sqlite3_file* f, int op, void* arg) {
    // The layer asks for the file itself to read its header: hand out the real one.
    if (op == SQLITE_FCNTL_FILE_POINTER) {
        *static_cast<sqlite3_file**>(arg) = f;
        return SQLITE_OK;
    }
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int shimSectorSize(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int shimDeviceCharacteristics(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int shimShmMap(sqlite3_file* f, int pg, int sz, int extend, void volatile** p) {
    return real(f)->pMethods->xShmMap(real(f), pg, sz, extend, p);
}
int shimShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void shimShmBarrier(sqlite3_file* f) {
    real(f)->pMethods->xShmBarrier(real(f));
}
int shimShmUnmap(sqlite3_file* f, int del) {
    return real(f)->pMethods->xShmUnmap(real(f), del);
}
// No memory-mapped access: every write must pass through xWrite to be counted.
int shimFetch(sqlite3_file*, sqlite3_int64, int, void** p) {
    *p = nullptr;
    return SQLITE_OK;
}
int shimUnfetch(sqlite3_file*, sqlite3_int64, void*) {
    return SQLITE_OK;
}

const sqlite3_io_methods kMethods = {
    3,
    shimClose,
    shimRead,
    shimWrite,
    shimTruncate,
    shimSync,
    shimFileSize,
    shimLock,
    shimUnlock,
    shimCheckReserved,
    shimFileControl,
    shimSectorSize,
    shimDeviceCharacteristics,
    shimShmMap,
    shimShmLock,
    shimShmBarrier,
    shimShmUnmap,
    shimFetch,
    shimUnfetch,
};

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* shim = reinterpret_cast<ShimFile*>(f);
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    std::memset(shim->real, 0, static_cast<size_t>(g.real->szOsFile));
    int rc = g.real->xOpen(g.real, name, shim->real, flags, outFlags);
    f->pMethods = shim->real->pMethods ? &kMethods : nullptr;
    return rc;
}

sqlite3_vfs g_vfs;

}  // namespace

FaultVfs::FaultVfs() {
    g = State{};
    g.real = sqlite3_vfs_find(nullptr);
    g_vfs = *g.real;
    g_vfs.zName = "kelvor-fault";
    g_vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + g.real->szOsFile;
    g_vfs.xOpen = shimOpen;
    g_vfs.pNext = nullptr;
    sqlite3_vfs_register(&g_vfs, 1);
}

FaultVfs::~FaultVfs() {
    sqlite3_vfs_unregister(&g_vfs);
    sqlite3_vfs_register(g.real, 1);
}

void FaultVfs::arm(Op op, int nth, int code, bool persistent) {
    reset();
    g.armed = true;
    g.crash = false;
    g.op = op;
    g.nth = nth;
    g.code = code;
    g.persistent = persistent;
}

void FaultVfs::armCrash(Op op, int nth) {
    arm(op, nth, SQLITE_IOERR);
    g.crash = true;
}

void FaultVfs::disarm() {
    g.armed = false;
}

int FaultVfs::count(Op op) const {
    return g.counts[static_cast<int>(op)];
}

bool FaultVfs::fired() const {
    return g.fired;
}

void FaultVfs::reset() {
    for (int& c : g.counts) c = 0;
    g.fired = false;
}

}  // namespace kelvor::test
