#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/LockFileUsers.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/LockingMode.h"

namespace quillet {

// Who is in one database, told from the locks on it and on its lock file (LockProtocol.h)
// without joining it; or the same of a lock file whose database is missing.
struct DatabaseScan {
  enum class State {
    kClosed,         // no lock file, nobody in
    kOpen,           // connections of this engine, and nobody else
    kOtherEngine,    // another engine's locks are seen: the mode cannot be known
    kStaleLockFile,  // a lock file that nobody holds
    kUnknown,        // the locks cannot be seen or read there: see reason
    kNotADatabase,   // named like one, but the engine would refuse it: see reason
  };

  // Filled by the caller. What a folder listing just said may spare a call per file: a lock
  // file not listed need not be looked for (one that appears since is found if locks are
  // seen). A database is looked at again however it was listed: it may have been swapped.
  std::string path;
  bool orphanLockFile = false;  // path is a lock file, and no database of its name is beside it
  bool lockFileListed = true;
  // An Access database (.accdb, .accde) or its orphan .laccdb, looked at from the outside
  // only: AccessFiles.h.
  bool access = false;

  bool absent = false;  // gone since it was listed, or not a lock file after all: not reported
  State state = State::kUnknown;
  // Page, record or exclusive for kOpen; unknown for the others.
  LockingMode mode = LockingMode::kUnknown;
  int liveHere = 0;       // this engine's connections, on this computer
  int liveElsewhere = 0;  // records whose user lock another engine holds
  int leftBehind = 0;     // records nobody holds
  std::string lockFile;   // its path; empty when there is none
  std::vector<LockFileUser> users;
  MountLocks mount;
  // For kUnknown and kNotADatabase; for kOtherEngine, the clients the other openers' source
  // names.
  std::string reason;

  // Whether someone is, or may be, in: what a backup must not run beside.
  bool mayBeInUse() const {
    return state == State::kOpen || state == State::kOtherEngine || state == State::kUnknown;
  }
};

// Fills in scans. Reads only: nothing is created, written or deleted, no slot is taken, and
// no lock is kept. A database costs a few calls and one lock query on it and on its lock file;
// where a lock is seen, the database's gate is read-locked (so that no join or leave runs
// half done) while each file's own queries tell its locks, bounded by the bytes that say who
// is in (QueryHeldLocks): however many locks another program piles on a file, a scan costs at
// most a few hundred queries for it. A gate busy for longer than a join may take (3 s) gives
// kUnknown. /proc/locks is not read: read a page at a time while others take and drop locks
// it is no snapshot (a line can be missed, and a missed lock would read as nobody in), and
// the kernel walks its list afresh for every page, so that a long one takes seconds.
// A client that the other openers' source (OtherOpeners.h: a Samba server here) says has a
// database or its lock file open is in whatever the locks say, as an exclusive open takes
// none: kOtherEngine, the client listed among the users (slot -1) and named in the reason.
class DatabaseScanner {
 public:
  // Fills in every scan of `scans` (path and orphanLockFile set, and what the listing
  // said). `tick` is called now and then from the calling thread with how many have been
  // looked at, for a progress line.
  void Scan(std::vector<DatabaseScan>* scans, const std::function<void(size_t)>& tick = {});
};

}  // namespace quillet
