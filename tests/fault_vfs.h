// A test-only SQLite VFS that fails, or ends the process at, the Nth write, sync or truncate.
//
// It sits over the default VFS and is registered as the default while it lives, so every
// connection the layer opens from then on goes through it. A test counts the operations of a
// fault-free run, then replays the same work once for every N with the fault armed, and judges
// the files on disk afterwards. Counting covers every file: databases, journals, super-journals.
#pragma once

#include <sqlite3.h>

namespace kelvor::test {

class FaultVfs {
  public:
    enum class Op { Write, Sync, Truncate };

    FaultVfs();
    ~FaultVfs();
    FaultVfs(const FaultVfs&) = delete;
    FaultVfs& operator=(const FaultVfs&) = delete;

    // Counts from zero again; the `nth` (1-based) operation of kind `op` fails with `code`,
    // and with `persistent` every later one of that kind too (a disk that stays full).
    void arm(Op op, int nth, int code, bool persistent = false);
    // As arm(), but the process ends at once (_exit) instead, as if killed at that point.
    void armCrash(Op op, int nth);
    void disarm();  // counting goes on, nothing fails

    int count(Op op) const;  // operations of that kind since the last arm() or reset()
    bool fired() const;      // whether an armed fault has happened
    void reset();
};

}  // namespace kelvor::test
