#include "platform/engine/DatabaseScan.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <optional>
#include <thread>

#include "platform/base/Posix.h"
#include "platform/engine/AccessFiles.h"
#include "platform/engine/FolderFiles.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/JetSession.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/SambaServing.h"

namespace quillet {

namespace {

using namespace lockmap;
using State = DatabaseScan::State;

constexpr posix::ByteRange kGateRange{kGate, 1};
// The bytes whose locks Judge tells apart: any lock elsewhere is another engine's.
constexpr posix::ByteRange kJudgedOnDatabase{kPrivateBase, kDatabasePrivateLength};
constexpr posix::ByteRange kJudgedOnLockFile{UserLock(0), kSlots};
// Databases confirmed together under their gates: two descriptors each, well inside the
// usual limit of 1024.
constexpr size_t kBatch = 200;

// The folder of the database last looked at, kept open so that the next one of the same
// folder is opened by its name alone.
class Folder {
 public:
  // The folder of `path` open (or -1, then the path is used whole) and the name in it.
  std::pair<int, std::string> of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {AT_FDCWD, path};
    if (path.compare(0, slash, path_) != 0 || path_.size() != slash) {
      path_ = path.substr(0, slash);
      fd_ = UniqueFd(posix::Open(slash == 0 ? "/" : path_, O_PATH | O_DIRECTORY));
      mount_.reset();
    }
    return fd_.valid() ? std::pair{fd_.get(), path.substr(slash + 1)} : std::pair{AT_FDCWD, path};
  }

  // The mount of a file opened in the folder. One on the folder's own filesystem is on its
  // mount, or on another mount of the same filesystem, which has the same class: while the
  // folder is held open its filesystem stays, and so does the meaning of its device number.
  MountLocks mountOf(int fd, const struct stat& info) {
    if (!mount_ && fd_.valid()) {
      struct stat folder;
      if (posix::Fstat(fd_.get(), &folder) == 0)
        mount_ = std::pair{folder.st_dev, LocksOf(fd_.get(), folder)};
    }
    return mount_ && mount_->first == info.st_dev ? mount_->second : LocksOf(fd, info);
  }

  // What Samba's configuration says of the folder of `path`: asked once for the files of one
  // folder after another, as Samba's shares serve folders.
  const SambaServing& serving(const std::string& path) {
    const std::string folder = path.substr(0, path.find_last_of('/') + 1);
    if (!serving_ || servingFolder_ != folder) {
      serving_ = SambaServingOf(path);
      servingFolder_ = folder;
    }
    return *serving_;
  }

 private:
  std::string path_;
  UniqueFd fd_;
  std::optional<std::pair<dev_t, MountLocks>> mount_;
  std::optional<SambaServing> serving_;
  std::string servingFolder_;
};

// A database opened to be looked at, with its lock file.
struct Opened {
  DatabaseScan* scan = nullptr;
  int folder = AT_FDCWD;  // where the database was found, while the Folder keeps it open
  UniqueFd database;
  struct stat info {};
  LockFileContents lockFile;
};

void Settle(DatabaseScan* scan, State state, std::string reason = {}) {
  scan->state = state;
  scan->reason = std::move(reason);
}

std::string CannotRead(const std::string& path) {
  return "The locks on '" + path + "' could not be read: who is in cannot be told.";
}

// Whether another description holds any lock at all on the open file.
std::optional<bool> AnyLock(int fd) {
  posix::LockHolder holder;
  if (posix::TestLock(fd, F_WRLCK, posix::kWholeFile, &holder) != 0) return std::nullopt;
  return holder.held();
}

// Opens the database to read it, as every reader opens a lock file (OpenRegularAt): looked at
// first, opened without following a link (the scan follows none) and looked at again, so that
// a FIFO or device found under the name is never opened, nor a link followed. Its mount is
// its folder's when it is on the same filesystem. False when that settles the scan.
bool OpenDatabase(DatabaseScan* scan, Opened* opened, Folder* folder = nullptr) {
  const std::string& path = scan->path;
  const auto settle = [&](State state, const Status& error) {
    scan->mount = DatabaseLocksOf(path);  // names only: nothing is opened for reading
    Settle(scan, state, error.description());
    return false;
  };
  const auto [folderFd, name] = folder ? folder->of(path) : std::pair{AT_FDCWD, path};
  OpenedAt found = OpenRegularAt(NameAt{folderFd, name}, O_RDONLY);
  if (found.error == kNotRegular && (S_ISLNK(found.info.st_mode) || S_ISDIR(found.info.st_mode))) {
    scan->absent = true;  // links are not followed; folders are walked, not scanned
    return false;
  }
  if (found.error == kNotRegular)
    return settle(State::kNotADatabase, JetError(kJetErrUnrecognizedFormat, path));
  if (found.error != 0) {
    scan->absent = found.error == ENOENT || found.error == ELOOP;
    return settle(State::kUnknown, OpenFailure(found.error, kJetErrCannotOpen, path));
  }
  opened->database = std::move(found.fd);
  opened->folder = folderFd;
  opened->info = found.info;
  scan->mount = folder ? folder->mountOf(opened->database.get(), opened->info)
                       : LocksOf(opened->database.get(), opened->info);
  if (scan->mount.seen() && folder) {
    AddSambaServing(folder->serving(path), &scan->mount);
  } else {
    AddSambaServing(path, &scan->mount);
  }
  if (!IsJetDatabase(opened->database.get(), opened->info.st_size)) {
    Settle(scan, State::kNotADatabase, JetError(kJetErrUnrecognizedFormat, path).description());
    return false;
  }
  return true;
}

// Reads the lock file at `lockPath`, in the database's folder where it was opened in one.
// False when that settles the scan.
bool ReadLockFileOf(DatabaseScan* scan, const std::string& lockPath, Opened* opened) {
  const Status read = ReadLockFile(lockPath, &opened->lockFile, opened->folder);
  scan->lockFile = opened->lockFile.fd.valid() ? lockPath : std::string();
  if (read.ok()) return true;
  scan->lockFile = lockPath;
  Settle(scan, State::kUnknown,
         read.Is(ErrorSource::kJet, kJetErrCouldNotLock)
             ? read.description() + " '" + lockPath +
                   "' cannot be its lock file: the engine would not open the database."
             : read.description());
  return false;
}

// Where the folder's locks stay on this computer nothing is claimed: the records are listed,
// and nobody can tell whether they are live.
void SettleUnseen(DatabaseScan* scan, const Opened& opened) {
  scan->users = LockFileRecords(opened.lockFile.records, {});
  for (LockFileUser& user : scan->users) user.state = LockFileUser::State::kUnknown;
  Settle(scan, State::kUnknown, LocksUnseenReason(scan->mount));
}

// What Samba's table lists for a database and its lock file: every lock there is one of its
// clients', Windows engines all.
struct SambaHeld {
  bool foreign = false;  // a lock on the database, or on the lock file beside the user locks
  std::bitset<kSlots> userLocks;
};

SambaHeld SambaHeldOn(const struct stat* database, const LockFileContents& lockFile) {
  SambaHeld held;
  if (database != nullptr) held.foreign = !OtherOpenersOf(*database).locks.empty();
  if (!lockFile.fd.valid()) return held;
  const OtherOpeners onLockFile = OtherOpenersOf(lockFile.info);
  for (const HeldLock& lock : onLockFile.locks) {
    for (off_t at = std::max(lock.start, UserLock(0)); at < std::min(lock.end, UserLock(kSlots));
         ++at)
      held.userLocks.set(static_cast<size_t>(at - kUserLockBase));
    held.foreign = held.foreign || lock.start < UserLock(0) || lock.end > UserLock(kSlots);
  }
  return held;
}

// Settles the scan from every lock on the database and on its lock file (the byte map of
// LockProtocol.h), seen while no connection of this engine was joining or leaving, and what
// Samba's table holds there.
void Judge(const std::vector<HeldLock>& onDatabase, const std::vector<HeldLock>& onLockFile,
           const LockFileContents& lockFile, DatabaseScan* scan, const SambaHeld& samba = {}) {
  std::bitset<kSlots> marks;
  std::bitset<kSlots> held = samba.userLocks;
  bool recordLevel = false;
  bool exclusive = false;
  bool foreign = samba.foreign;
  bool deleting = false;
  int presences = 0;  // connections of this engine that hold no slot
  for (const HeldLock& lock : onDatabase) {
    // Anything reaching outside the private range is another engine's, whatever it covers.
    if (lock.start < kPrivateBase || lock.end > kPrivateBase + kDatabasePrivateLength) {
      foreign = true;
      continue;
    }
    if (lock.covers(kExclusive)) {
      if (lock.write) {
        exclusive = true;
      } else {
        ++presences;
      }
    }
    exclusive = exclusive || lock.covers(kReadOnlyExclusive);
    recordLevel = recordLevel || lock.covers(kRecordLevel);
    for (off_t at = std::max(lock.start, kMarkBase); at < std::min(lock.end, kMarksEnd); ++at) {
      marks.set(static_cast<size_t>((at - kMarkBase) / 2));
      recordLevel = recordLevel || (at - kMarkBase) % 2 == 1;
    }
  }
  for (const HeldLock& lock : onLockFile) {
    if (lock.start == 0 && lock.end == HeldLock::kToEnd) {
      deleting = true;  // a Kill, or a last leaver, holds it all for a moment
      continue;
    }
    for (off_t at = std::max(lock.start, UserLock(0)); at < std::min(lock.end, UserLock(kSlots));
         ++at)
      held.set(static_cast<size_t>(at - kUserLockBase));
    foreign = foreign || lock.start < UserLock(0) || lock.end > UserLock(kSlots);
  }

  scan->users = LockFileRecords(lockFile.records, held);
  scan->liveHere = static_cast<int>(marks.count()) + presences + (exclusive ? 1 : 0);
  scan->liveElsewhere = scan->leftBehind = 0;
  for (LockFileUser& user : scan->users) {
    if (!held[user.slot]) {
      user.state = LockFileUser::State::kLeftBehind;
      ++scan->leftBehind;
    } else if (marks[user.slot] && !samba.userLocks[user.slot]) {
      user.state = LockFileUser::State::kLiveHere;
    } else {
      user.state = LockFileUser::State::kLiveElsewhere;
      ++scan->liveElsewhere;
    }
  }

  scan->mode = LockingMode::kUnknown;
  if (deleting) {
    Settle(scan, State::kUnknown,
           "Its lock file was being deleted as it was read (a connection leaving, or a lock file "
           "left behind being cleared): scan again.");
  } else if (foreign || scan->liveElsewhere > 0) {
    Settle(scan, State::kOtherEngine);
  } else if (scan->liveHere > 0) {
    scan->mode = exclusive     ? LockingMode::kExclusive
                 : recordLevel ? LockingMode::kRecord
                               : LockingMode::kPage;
    Settle(scan, State::kOpen);
  } else {
    Settle(scan, lockFile.fd.valid() ? State::kStaleLockFile : State::kClosed);
  }
}

// Settles a lock file whose database is missing from the locks on it.
void JudgeOrphan(const std::vector<HeldLock>& onLockFile, const LockFileContents& lockFile,
                 DatabaseScan* scan) {
  Judge({}, onLockFile, lockFile, scan, SambaHeldOn(nullptr, lockFile));
  if (scan->state == State::kOtherEngine) {
    Settle(scan, State::kUnknown,
           "Someone holds this lock file, but no database of its name (.mdb or .mde) is beside "
           "it: a database named otherwise may be open.");
  }
}

// Opens a lock file whose database is missing. False when that settles the scan.
bool OpenOrphan(DatabaseScan* scan, Opened* opened) {
  opened->scan = scan;
  if (!ReadLockFileOf(scan, scan->path, opened)) {
    // Not a lock file after all (a user's document named so) is none of the scan's business.
    scan->absent = scan->state == State::kUnknown &&
                   scan->reason.find("cannot be its lock file") != std::string::npos;
    return false;
  }
  if (!opened->lockFile.fd.valid()) {
    scan->absent = true;
    return false;
  }
  scan->mount = LocksOf(opened->lockFile.fd.get());
  AddSambaServing(scan->path, &scan->mount);
  if (scan->mount.seen()) return true;
  SettleUnseen(scan, *opened);
  return false;
}

// A lock file whose database is missing (nothing to take a gate on): one query tells whether
// anyone holds a lock on it, and only then are its user locks told apart.
void LookAtOrphan(DatabaseScan* scan) {
  Opened opened;
  if (!OpenOrphan(scan, &opened)) return;
  const int fd = opened.lockFile.fd.get();
  const std::optional<bool> held = AnyLock(fd);
  std::vector<HeldLock> onLockFile;
  if (!held || (*held && !QueryHeldLocks(fd, kJudgedOnLockFile, &onLockFile)))
    return Settle(scan, State::kUnknown, CannotRead(scan->path));
  JudgeOrphan(onLockFile, opened.lockFile, scan);
}

// The first look at a database: a few calls, and one lock query on each file. True when that
// settles the scan; false when locks were seen, to be read under the gate.
bool Look(DatabaseScan* scan, Folder* folder) {
  Opened opened;
  if (!OpenDatabase(scan, &opened, folder)) return true;
  if (scan->lockFileListed && !ReadLockFileOf(scan, LockFilePath(scan->path), &opened)) return true;
  if (!scan->mount.seen()) {
    SettleUnseen(scan, opened);
    return true;
  }
  const std::optional<bool> onDatabase = AnyLock(opened.database.get());
  const std::optional<bool> onLockFile =
      opened.lockFile.fd.valid() ? AnyLock(opened.lockFile.fd.get()) : false;
  if (!onDatabase || !onLockFile) {
    Settle(scan, State::kUnknown, CannotRead(scan->path));
    return true;
  }
  if (*onDatabase || *onLockFile) return false;
  Judge({}, {}, opened.lockFile, scan, SambaHeldOn(&opened.info, opened.lockFile));
  return true;
}

// Opens the database again and, once its gate is held, its lock file. False when that
// settles the scan; `busy` tells a gate that was held by someone else.
bool OpenUnderGate(DatabaseScan* scan, bool wait, Opened* opened, bool* busy) {
  *busy = false;
  opened->scan = scan;
  if (!OpenDatabase(scan, opened)) return false;
  const int fd = opened->database.get();
  const int error =
      wait ? (AcquireGate(fd, F_RDLCK) ? 0 : EAGAIN) : posix::TryLock(fd, F_RDLCK, kGateRange);
  if (error == EAGAIN) {
    *busy = true;
    if (wait) {
      Settle(scan, State::kUnknown,
             "Its gate stayed locked for more than 3 seconds (a connection stuck while joining "
             "or leaving, such as a stopped process): who is in cannot be told now.");
    }
    return false;
  }
  if (error != 0) {
    Settle(scan, State::kUnknown, CannotRead(scan->path));
    return false;
  }
  return ReadLockFileOf(scan, LockFilePath(scan->path), opened);
}

// Judges every database of `opened`, whose gates this process holds, from each file's own
// queries, bounded by the bytes that tell who is in (QueryHeldLocks).
void JudgeUnderGates(std::vector<Opened>* opened) {
  for (Opened& one : *opened) {
    DatabaseScan* scan = one.scan;
    std::vector<HeldLock> onDatabase;
    std::vector<HeldLock> onLockFile;
    if (!QueryHeldLocks(one.database.get(), kJudgedOnDatabase, &onDatabase) ||
        (one.lockFile.fd.valid() &&
         !QueryHeldLocks(one.lockFile.fd.get(), kJudgedOnLockFile, &onLockFile))) {
      Settle(scan, State::kUnknown, CannotRead(scan->path));
      continue;
    }
    Judge(onDatabase, onLockFile, one.lockFile, scan, SambaHeldOn(&one.info, one.lockFile));
  }
}

}  // namespace

void DatabaseScanner::Scan(std::vector<DatabaseScan>* scans,
                           const std::function<void(size_t)>& tick) {
  // The first look costs a few calls per file and nothing else: on two cores, two threads
  // make it half as long.
  std::vector<char> settled(scans->size());
  std::atomic<size_t> next{0};
  constexpr size_t kChunk = 64;
  const auto lookAtChunks = [&](bool ticking) {
    Folder folder;
    for (size_t first; (first = next.fetch_add(kChunk)) < scans->size();) {
      for (size_t i = first; i < std::min(scans->size(), first + kChunk); ++i) {
        DatabaseScan& scan = (*scans)[i];
        if (scan.access) {
          LookAtAccessFile(&scan);
          settled[i] = true;
        } else if (scan.orphanLockFile) {
          LookAtOrphan(&scan);
          settled[i] = true;
        } else {
          settled[i] = Look(&scan, &folder);
        }
      }
      if (ticking && tick) tick(std::min(next.load(), scans->size()));
    }
  };
  const size_t helpers =
      scans->size() < 4 * kChunk ? 0 : std::clamp(std::thread::hardware_concurrency(), 1u, 4u) - 1;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < helpers; ++i) threads.emplace_back(lookAtChunks, false);
  lookAtChunks(true);
  for (std::thread& thread : threads) thread.join();
  std::vector<DatabaseScan*> seen;
  for (size_t i = 0; i < scans->size(); ++i) {
    if (!settled[i]) seen.push_back(&(*scans)[i]);
  }

  // Where locks were seen, they are read again with the gates held, so that no join or leave
  // of this engine is half done; a few hundred databases at a time, the gates only tried, so
  // that joiners wait for microseconds at most. A gate that is busy is waited for afterwards,
  // one database at a time.
  for (size_t first = 0; first < seen.size(); first += kBatch) {
    std::vector<Opened> opened;
    std::vector<DatabaseScan*> busy;
    for (size_t i = first; i < std::min(seen.size(), first + kBatch); ++i) {
      Opened one;
      bool gateBusy = false;
      if (OpenUnderGate(seen[i], /*wait=*/false, &one, &gateBusy)) {
        opened.push_back(std::move(one));
      } else if (gateBusy) {
        busy.push_back(seen[i]);
      }
    }
    JudgeUnderGates(&opened);
    opened.clear();  // closing lets go of the gates
    for (DatabaseScan* scan : busy) {
      Opened one;
      bool gateBusy = false;
      if (OpenUnderGate(scan, /*wait=*/true, &one, &gateBusy)) {
        std::vector<Opened> single;
        single.push_back(std::move(one));
        JudgeUnderGates(&single);
      }
      if (tick) tick(scans->size());
    }
  }
}

}  // namespace quillet
