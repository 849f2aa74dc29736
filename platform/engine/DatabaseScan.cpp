#include "platform/engine/DatabaseScan.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <optional>
#include <thread>

#include "platform/engine/AccessFiles.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/JetSession.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/Posix.h"

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
    }
    return fd_.valid() ? std::pair{fd_.get(), path.substr(slash + 1)} : std::pair{AT_FDCWD, path};
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

// A database opened to be looked at, with its lock file.
struct Opened {
  DatabaseScan* scan = nullptr;
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

// Opens the database as the engine would, looking first: a link is not followed, a FIFO or
// device never opened. False when that settles the scan.
bool OpenDatabase(DatabaseScan* scan, Opened* opened, Folder* folder = nullptr) {
  const std::string& path = scan->path;
  const auto settle = [&](State state, int32_t error) {
    scan->mount = LocksOfPath(path);  // names only: nothing is opened for reading
    Settle(scan, state, JetError(error, path).description());
    return false;
  };
  struct stat seen;
  seen.st_mode = S_IFREG;
  if (const int error = scan->listedAsRegularFile ? 0 : posix::Lstat(path, &seen); error != 0) {
    scan->absent = error == ENOENT;
    return settle(State::kUnknown, kJetErrCannotOpen);
  }
  if (S_ISLNK(seen.st_mode) || S_ISDIR(seen.st_mode)) {
    scan->absent = true;  // links are not followed; folders are walked, not scanned
    return false;
  }
  if (!S_ISREG(seen.st_mode)) return settle(State::kNotADatabase, kJetErrUnrecognizedFormat);
  const auto [folderFd, name] = folder ? folder->of(path) : std::pair{AT_FDCWD, path};
  opened->database = UniqueFd(posix::OpenAt(folderFd, name, O_RDONLY | O_NOFOLLOW));
  if (!opened->database.valid()) {
    scan->absent = errno == ENOENT || errno == ELOOP;
    return settle(State::kUnknown, kJetErrCannotOpen);
  }
  if (posix::Fstat(opened->database.get(), &opened->info) != 0)
    return settle(State::kUnknown, kJetErrCannotOpen);
  scan->mount = LocksOf(opened->database.get(), opened->info);
  if (!S_ISREG(opened->info.st_mode) ||
      !IsJetDatabase(opened->database.get(), opened->info.st_size)) {
    Settle(scan, State::kNotADatabase, JetError(kJetErrUnrecognizedFormat, path).description());
    return false;
  }
  return true;
}

// Reads the lock file at `lockPath`. False when that settles the scan.
bool ReadLockFileOf(DatabaseScan* scan, const std::string& lockPath, Opened* opened) {
  const Status read = ReadLockFile(lockPath, &opened->lockFile);
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

// Settles the scan from every lock on the database and on its lock file (the byte map of
// LockProtocol.h), seen while no connection of this engine was joining or leaving.
void Judge(const std::vector<HeldLock>& onDatabase, const std::vector<HeldLock>& onLockFile,
           const LockFileContents& lockFile, DatabaseScan* scan) {
  std::bitset<kSlots> marks;
  std::bitset<kSlots> held;
  bool recordLevel = false;
  bool exclusive = false;
  bool foreign = false;
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
    } else if (marks[user.slot]) {
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
  Judge({}, onLockFile, lockFile, scan);
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
  if (scan->mount.seen()) return true;
  SettleUnseen(scan, *opened);
  return false;
}

// The first look at a lock file whose database is missing (nothing to take a gate on): one
// query tells whether anyone holds a lock on it. True when that settles the scan; false when
// locks were seen that /proc/locks lists, to be read with the databases' from a reading made
// once the file is open again (`listing`: unless /proc/locks could not be read, or was too
// long, before the listing). The one made before the listing will not do: it may predate the
// file, and a lock file created and held since would show no lock.
bool LookAtOrphan(DatabaseScan* scan, bool listing) {
  Opened opened;
  if (!OpenOrphan(scan, &opened)) return true;
  const int fd = opened.lockFile.fd.get();
  const std::optional<bool> held = AnyLock(fd);
  std::vector<HeldLock> onLockFile;
  if (held && *held && listing && LockSnapshot::ListsLocksOf(scan->mount)) return false;
  if (!held || (*held && !QueryHeldLocks(fd, kJudgedOnLockFile, &onLockFile))) {
    Settle(scan, State::kUnknown, CannotRead(scan->path));
    return true;
  }
  JudgeOrphan(onLockFile, opened.lockFile, scan);
  return true;
}

// The first look at a database: a few calls, and a lock query per file unless `before`
// (/proc/locks, read before the folders were listed) tells: a lock file that appeared since
// is found in the listing, and its database asked. True when that settles the scan; false
// when locks were seen, to be read under the gate.
bool Look(DatabaseScan* scan, const LockSnapshot* before, Folder* folder) {
  Opened opened;
  if (!OpenDatabase(scan, &opened, folder)) return true;
  if (scan->lockFileListed && !ReadLockFileOf(scan, LockFilePath(scan->path), &opened)) return true;
  if (!scan->mount.seen()) {
    SettleUnseen(scan, opened);
    return true;
  }
  if (before != nullptr && !opened.lockFile.fd.valid() && LockSnapshot::ListsLocksOf(scan->mount)) {
    if (!before->Of(opened.info.st_dev, opened.info.st_ino).empty()) return false;
    Judge({}, {}, opened.lockFile, scan);
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
  Judge({}, {}, opened.lockFile, scan);
  return true;
}

// Opens the database again and, once its gate is held, its lock file. False when that
// settles the scan; `busy` tells a gate that was held by someone else.
bool OpenUnderGate(DatabaseScan* scan, bool wait, Opened* opened, bool* busy) {
  *busy = false;
  opened->scan = scan;
  scan->listedAsRegularFile = false;  // look again: it may have changed since
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

// Judges every database of `opened`, whose gates this process holds, and every orphan lock
// file (which has none); from /proc/locks where `listing` (it could be read before) and it
// lists them, else from each file's own queries.
void JudgeUnderGates(std::vector<Opened>* opened, bool listing) {
  LockSnapshot snapshot;
  std::optional<bool> snapshotRead;  // read once, when a database first needs it
  if (!listing) snapshotRead = false;
  for (Opened& one : *opened) {
    DatabaseScan* scan = one.scan;
    std::vector<HeldLock> onDatabase;
    std::vector<HeldLock> onLockFile;
    const bool listed = LockSnapshot::ListsLocksOf(scan->mount) &&
                        (snapshotRead ? *snapshotRead : *(snapshotRead = snapshot.Read()));
    const bool database = one.database.valid(), lockFile = one.lockFile.fd.valid();
    if (listed) {
      if (database) onDatabase = snapshot.Of(one.info.st_dev, one.info.st_ino);
      if (lockFile) onLockFile = snapshot.Of(one.lockFile.info.st_dev, one.lockFile.info.st_ino);
    } else if ((database && !QueryHeldLocks(one.database.get(), kJudgedOnDatabase, &onDatabase)) ||
               (lockFile &&
                !QueryHeldLocks(one.lockFile.fd.get(), kJudgedOnLockFile, &onLockFile))) {
      Settle(scan, State::kUnknown, CannotRead(scan->path));
      continue;
    }
    if (scan->orphanLockFile) {
      JudgeOrphan(onLockFile, one.lockFile, scan);
    } else {
      Judge(onDatabase, onLockFile, one.lockFile, scan);
    }
  }
}

}  // namespace

DatabaseScanner::DatabaseScanner() : before_(std::make_unique<LockSnapshot>()) {
  if (!before_->Read()) before_.reset();
}

DatabaseScanner::~DatabaseScanner() = default;

void DatabaseScanner::Scan(std::vector<DatabaseScan>* scans,
                           const std::function<void(size_t)>& tick) {
  // The first look costs a few calls per file and nothing else: on two cores, two threads
  // make it half as long.
  // /proc/locks is read again only where it could be read before the listing.
  const bool listing = before_ != nullptr;
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
        } else {
          settled[i] = scan.orphanLockFile ? LookAtOrphan(&scan, listing)
                                           : Look(&scan, before_.get(), &folder);
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
      if (seen[i]->orphanLockFile ? OpenOrphan(seen[i], &one)
                                  : OpenUnderGate(seen[i], /*wait=*/false, &one, &gateBusy)) {
        opened.push_back(std::move(one));
      } else if (gateBusy) {
        busy.push_back(seen[i]);
      }
    }
    JudgeUnderGates(&opened, listing);
    opened.clear();  // closing lets go of the gates
    for (DatabaseScan* scan : busy) {
      Opened one;
      bool gateBusy = false;
      if (OpenUnderGate(scan, /*wait=*/true, &one, &gateBusy)) {
        std::vector<Opened> single;
        single.push_back(std::move(one));
        JudgeUnderGates(&single, listing);
      }
      if (tick) tick(scans->size());
    }
  }
}

}  // namespace quillet
