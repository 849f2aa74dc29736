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

// How far the look at one database (or orphan lock file) got.
enum class Look {
  kSettled,    // its state, reason and counts are final
  kUnsettled,  // opened or read: the next step follows
  kLocksSeen,  // someone holds a lock on it: read again with its gate held
  kGateBusy,   // someone else holds its gate: waited for afterwards
};

// What the other openers' source (a Samba server here) says of a database and of its lock file.
struct OthersOn {
  OtherOpeners database;
  OtherOpeners lockFile;
};

// A database opened to be looked at, with its lock file.
struct Opened {
  explicit Opened(DatabaseScan* looked) : scan(looked) {}
  DatabaseScan* scan;
  int folder = AT_FDCWD;  // where the database was found, while the Folder keeps it open
  UniqueFd database;
  struct stat info {};
  LockFileContents lockFile;
  std::optional<OthersOn> others;  // once asked
};

void Settle(DatabaseScan* scan, State state, std::string reason = {}) {
  scan->state = state;
  scan->reason = std::move(reason);
}

Look Settled(DatabaseScan* scan, State state, std::string reason = {}) {
  Settle(scan, state, std::move(reason));
  return Look::kSettled;
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
// its folder's when it is on the same filesystem.
Look OpenDatabase(Opened* opened, Folder* folder = nullptr) {
  DatabaseScan* scan = opened->scan;
  const std::string& path = scan->path;
  const auto refuse = [&](State state, const Status& error) {
    scan->mount = DatabaseLocksOf(path);  // names only: nothing is opened for reading
    return Settled(scan, state, error.description());
  };
  const auto [folderFd, name] = folder ? folder->of(path) : std::pair{AT_FDCWD, path};
  OpenedAt found = OpenRegularAt(NameAt{folderFd, name}, O_RDONLY);
  if (found.error == kNotRegular && (S_ISLNK(found.info.st_mode) || S_ISDIR(found.info.st_mode))) {
    scan->absent = true;  // links are not followed; folders are walked, not scanned
    return Look::kSettled;
  }
  if (found.error == kNotRegular)
    return refuse(State::kNotADatabase, JetError(kJetErrUnrecognizedFormat, path));
  if (found.error != 0) {
    scan->absent = found.error == ENOENT || found.error == ELOOP;
    return refuse(State::kUnknown, OpenFailure(found.error, kJetErrCannotOpen, path));
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
  if (!IsJetDatabase(opened->database.get(), opened->info.st_size))
    return Settled(scan, State::kNotADatabase,
                   JetError(kJetErrUnrecognizedFormat, path).description());
  return Look::kUnsettled;
}

// A lock file that could not be read, or that holds something else than records, leaves who
// is in unknown.
void SettleUnreadable(DatabaseScan* scan, const std::string& lockPath, const Status& read) {
  scan->lockFile = lockPath;
  Settle(scan, State::kUnknown,
         read.Is(ErrorSource::kJet, kJetErrCouldNotLock)
             ? read.description() + " '" + lockPath +
                   "' cannot be its lock file: the engine would not open the database."
             : read.description());
}

// Reads the lock file at `lockPath`, in the database's folder where it was opened in one.
Look ReadLockFileOf(const std::string& lockPath, Opened* opened) {
  const Status read = ReadLockFile(lockPath, &opened->lockFile, opened->folder);
  opened->scan->lockFile = opened->lockFile.fd.valid() ? lockPath : std::string();
  if (read.ok()) return Look::kUnsettled;
  SettleUnreadable(opened->scan, lockPath, read);
  return Look::kSettled;
}

// Where the folder's locks stay on this computer nothing is claimed: the records are listed,
// and nobody can tell whether they are live.
Look SettleUnseen(const Opened& opened) {
  DatabaseScan* scan = opened.scan;
  scan->users = LockFileRecords(opened.lockFile.records, {});
  for (LockFileUser& user : scan->users) user.state = LockFileUser::State::kUnknown;
  return Settled(scan, State::kUnknown, LocksUnseenReason(scan->mount));
}

// Asks the other openers' source about the files by what was opened of them, else by their
// names (a link is not followed: the scan reaches nothing through one). A lock file whose
// database is missing is asked about once.
OthersOn AskOthers(const Opened& opened) {
  const DatabaseScan& scan = *opened.scan;
  const auto ask = [](const std::string& path, const struct stat* info) {
    struct stat named;
    if (info != nullptr) return OtherOpenersOf(*info);
    if (path.empty() || posix::Lstat(path, &named) != 0) return OtherOpeners{};
    return OtherOpenersOf(named);
  };
  OthersOn others;
  if (!scan.orphanLockFile)
    others.database = ask(scan.path, opened.database.valid() ? &opened.info : nullptr);
  others.lockFile = ask(scan.orphanLockFile ? scan.path : scan.lockFile,
                        opened.lockFile.fd.valid() ? &opened.lockFile.info : nullptr);
  return others;
}

const OthersOn& OthersOnFiles(Opened* opened) {
  if (!opened->others) opened->others = AskOthers(*opened);
  return *opened->others;
}

// A client that the other openers' source says has the database or its lock file open is in,
// whatever its locks say (an exclusive open takes none), and named. Once a look is settled.
void AddOpensWithoutLock(Opened* opened) {
  DatabaseScan* scan = opened->scan;
  if (scan->absent || scan->state == State::kNotADatabase) return;
  const OthersOn& others = OthersOnFiles(opened);
  std::vector<OtherOpener> openers = others.database.openers;
  openers.insert(openers.end(), others.lockFile.openers.begin(), others.lockFile.openers.end());
  if (openers.empty()) return;
  std::string clients;
  for (const OtherOpener& opener : openers) {
    clients += (clients.empty() ? "" : ", ") + opener.computer + " (" + opener.account + ", " +
               (opener.exclusive ? "exclusive" : "shared") + ")";
  }
  AddOpensWithoutRecord(openers, &scan->users);
  scan->mode = LockingMode::kUnknown;
  Settle(scan, State::kOtherEngine, "open through Samba by " + clients);
}

// A lock on a lock file that reaches beyond the user locks: only another engine takes one.
bool ReachesPastUserLocks(const HeldLock& lock) {
  return lock.start < UserLock(0) || lock.end > UserLock(kSlots);
}

// What Samba's table lists for a database and its lock file: every lock there is one of its
// clients', Windows engines all.
struct SambaHeld {
  bool foreign = false;  // a lock on the database, or on the lock file beside the user locks
  std::bitset<kSlots> userLocks;
};

SambaHeld SambaHeldOn(const OthersOn& others) {
  SambaHeld held;
  held.foreign = !others.database.locks.empty();
  for (const HeldLock& lock : others.lockFile.locks) {
    AddUserLockSlots(lock, &held.userLocks);
    held.foreign = held.foreign || ReachesPastUserLocks(lock);
  }
  return held;
}

// What the locks on a database and on its lock file say (the byte map of LockProtocol.h).
struct LocksRead {
  std::bitset<kSlots> marks;  // slots of this engine's connections
  std::bitset<kSlots> held;   // user locks held
  bool recordLevel = false;
  bool exclusive = false;
  bool foreign = false;   // another engine's lock
  bool deleting = false;  // the whole lock file locked: a Kill, or a last leaver
  int presences = 0;      // connections of this engine that hold no slot
};

void ReadDatabaseLocks(const std::vector<HeldLock>& onDatabase, LocksRead* read) {
  for (const HeldLock& lock : onDatabase) {
    // Anything reaching outside the private range is another engine's, whatever it covers.
    if (lock.start < kPrivateBase || lock.end > kPrivateBase + kDatabasePrivateLength) {
      read->foreign = true;
      continue;
    }
    if (lock.covers(kExclusive)) {
      if (lock.write) {
        read->exclusive = true;
      } else {
        ++read->presences;
      }
    }
    read->exclusive = read->exclusive || lock.covers(kReadOnlyExclusive);
    read->recordLevel = read->recordLevel || lock.covers(kRecordLevel);
    for (off_t at = std::max(lock.start, kMarkBase); at < std::min(lock.end, kMarksEnd); ++at) {
      read->marks.set(static_cast<size_t>(SlotOfMark(at)));
      read->recordLevel = read->recordLevel || MarkSaysRecordLevel(at);
    }
  }
}

void ReadLockFileLocks(const std::vector<HeldLock>& onLockFile, LocksRead* read) {
  for (const HeldLock& lock : onLockFile) {
    if (lock.start == 0 && lock.end == HeldLock::kToEnd) {
      read->deleting = true;  // a Kill, or a last leaver, holds it all for a moment
      continue;
    }
    AddUserLockSlots(lock, &read->held);
    read->foreign = read->foreign || ReachesPastUserLocks(lock);
  }
}

// Tells each record whether it is live here, live elsewhere or left behind, and counts them.
void TellRecords(const LockFileContents& lockFile, const LocksRead& read, const SambaHeld& samba,
                 DatabaseScan* scan) {
  scan->users = LockFileRecords(lockFile.records, read.held);
  scan->liveHere = static_cast<int>(read.marks.count()) + read.presences + (read.exclusive ? 1 : 0);
  scan->liveElsewhere = scan->leftBehind = 0;
  for (LockFileUser& user : scan->users) {
    if (!read.held[user.slot]) {
      user.state = LockFileUser::State::kLeftBehind;
      ++scan->leftBehind;
    } else if (read.marks[user.slot] && !samba.userLocks[user.slot]) {
      user.state = LockFileUser::State::kLiveHere;
    } else {
      user.state = LockFileUser::State::kLiveElsewhere;
      ++scan->liveElsewhere;
    }
  }
}

// Settles the scan from every lock on the database and on its lock file, seen while no
// connection of this engine was joining or leaving, and what Samba's table holds there.
void Judge(const std::vector<HeldLock>& onDatabase, const std::vector<HeldLock>& onLockFile,
           Opened* opened) {
  DatabaseScan* scan = opened->scan;
  const SambaHeld samba = SambaHeldOn(OthersOnFiles(opened));
  LocksRead read;
  read.held = samba.userLocks;
  read.foreign = samba.foreign;
  ReadDatabaseLocks(onDatabase, &read);
  ReadLockFileLocks(onLockFile, &read);
  TellRecords(opened->lockFile, read, samba, scan);

  scan->mode = LockingMode::kUnknown;
  if (read.deleting) {
    Settle(scan, State::kUnknown,
           "Its lock file was being deleted as it was read (a connection leaving, or a lock file "
           "left behind being cleared): scan again.");
  } else if (read.foreign || scan->liveElsewhere > 0) {
    Settle(scan, State::kOtherEngine);
  } else if (scan->liveHere > 0) {
    scan->mode = read.exclusive     ? LockingMode::kExclusive
                 : read.recordLevel ? LockingMode::kRecord
                                    : LockingMode::kPage;
    Settle(scan, State::kOpen);
  } else {
    Settle(scan, opened->lockFile.fd.valid() ? State::kStaleLockFile : State::kClosed);
  }
}

// Opens a lock file whose database is missing.
Look OpenOrphan(Opened* opened) {
  DatabaseScan* scan = opened->scan;
  const Status read = ReadLockFile(scan->path, &opened->lockFile);
  // Gone, or not a lock file after all (a user's document named so): none of the scan's
  // business. One that cannot be read is told.
  if ((read.ok() && !opened->lockFile.fd.valid()) ||
      read.Is(ErrorSource::kJet, kJetErrCouldNotLock)) {
    scan->absent = true;
    return Look::kSettled;
  }
  if (!read.ok()) {
    SettleUnreadable(scan, scan->path, read);
    return Look::kSettled;
  }
  scan->lockFile = scan->path;
  scan->mount = LocksOf(opened->lockFile.fd.get());
  AddSambaServing(scan->path, &scan->mount);
  return scan->mount.seen() ? Look::kUnsettled : SettleUnseen(*opened);
}

// A lock file whose database is missing (nothing to take a gate on): one query tells whether
// anyone holds a lock on it, and only then are its user locks told apart. Someone there has
// a database named otherwise open, maybe.
void LookAtOrphan(Opened* opened) {
  DatabaseScan* scan = opened->scan;
  if (OpenOrphan(opened) == Look::kSettled) return;
  const int fd = opened->lockFile.fd.get();
  const std::optional<bool> held = AnyLock(fd);
  std::vector<HeldLock> onLockFile;
  if (!held || (*held && !QueryHeldLocks(fd, kJudgedOnLockFile, &onLockFile)))
    return Settle(scan, State::kUnknown, CannotRead(scan->path));
  Judge({}, onLockFile, opened);
  if (scan->state == State::kOtherEngine) {
    Settle(scan, State::kUnknown,
           "Someone holds this lock file, but no database of its name (.mdb or .mde) is beside "
           "it: a database named otherwise may be open.");
  }
}

// The first look at a database: a few calls, and one lock query on each file, which settle
// it unless someone holds a lock there.
Look LookAtDatabase(Opened* opened, Folder* folder) {
  DatabaseScan* scan = opened->scan;
  if (const Look look = OpenDatabase(opened, folder); look != Look::kUnsettled) return look;
  if (scan->lockFileListed) {
    if (const Look look = ReadLockFileOf(LockFilePath(scan->path), opened);
        look != Look::kUnsettled)
      return look;
  }
  if (!scan->mount.seen()) return SettleUnseen(*opened);
  const std::optional<bool> onDatabase = AnyLock(opened->database.get());
  const std::optional<bool> onLockFile =
      opened->lockFile.fd.valid() ? AnyLock(opened->lockFile.fd.get()) : false;
  if (!onDatabase || !onLockFile) return Settled(scan, State::kUnknown, CannotRead(scan->path));
  if (*onDatabase || *onLockFile) return Look::kLocksSeen;
  Judge({}, {}, opened);
  return Look::kSettled;
}

// Opens the database again and, once its gate is held (tried, or with `wait` waited for as a
// join waits), its lock file.
Look OpenWithGateHeld(Opened* opened, bool wait) {
  DatabaseScan* scan = opened->scan;
  if (const Look look = OpenDatabase(opened); look != Look::kUnsettled) return look;
  const int fd = opened->database.get();
  const int error =
      wait ? (AcquireGate(fd, F_RDLCK) ? 0 : EAGAIN) : posix::TryLock(fd, F_RDLCK, kGateRange);
  if (error == EAGAIN && !wait) return Look::kGateBusy;
  if (error == EAGAIN) {
    return Settled(scan, State::kUnknown,
                   "Its gate stayed locked for more than 3 seconds (a connection stuck while "
                   "joining or leaving, such as a stopped process): who is in cannot be told now.");
  }
  if (error != 0) return Settled(scan, State::kUnknown, CannotRead(scan->path));
  return ReadLockFileOf(LockFilePath(scan->path), opened);
}

// Judges every database of `opened`, whose gates this process holds, from each file's own
// queries, bounded by the bytes that tell who is in (QueryHeldLocks).
void JudgeUnderGates(std::vector<Opened>* opened) {
  for (Opened& one : *opened) {
    std::vector<HeldLock> onDatabase;
    std::vector<HeldLock> onLockFile;
    if (!QueryHeldLocks(one.database.get(), kJudgedOnDatabase, &onDatabase) ||
        (one.lockFile.fd.valid() &&
         !QueryHeldLocks(one.lockFile.fd.get(), kJudgedOnLockFile, &onLockFile))) {
      Settle(one.scan, State::kUnknown, CannotRead(one.scan->path));
    } else {
      Judge(onDatabase, onLockFile, &one);
    }
    AddOpensWithoutLock(&one);
  }
}

// The first look at one scan of any kind: settled, or locks seen there, to be read again
// under its gate.
Look LookAtFirst(DatabaseScan* scan, Folder* folder) {
  Opened opened(scan);
  if (scan->access) {
    LookAtAccessFile(scan);
  } else if (scan->orphanLockFile) {
    LookAtOrphan(&opened);
  } else if (LookAtDatabase(&opened, folder) == Look::kLocksSeen) {
    return Look::kLocksSeen;
  }
  AddOpensWithoutLock(&opened);
  return Look::kSettled;
}

// The first look at every scan, the scans taken a chunk at a time by this thread and, for a
// long list, by helpers: on two cores, two threads make it half as long. The scans where
// locks were seen.
std::vector<DatabaseScan*> LookAtAll(std::vector<DatabaseScan>* scans,
                                     const std::function<void(size_t)>& tick) {
  constexpr size_t kChunk = 64;
  std::vector<Look> looks(scans->size());
  std::atomic<size_t> next{0};
  const auto lookAtChunks = [&](bool ticking) {
    Folder folder;
    for (size_t first; (first = next.fetch_add(kChunk)) < scans->size();) {
      for (size_t i = first; i < std::min(scans->size(), first + kChunk); ++i)
        looks[i] = LookAtFirst(&(*scans)[i], &folder);
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
    if (looks[i] == Look::kLocksSeen) seen.push_back(&(*scans)[i]);
  }
  return seen;
}

// Reads again, with the gates held, the databases where locks were seen, so that no join or
// leave of this engine is half done; a few hundred at a time, their gates only tried, so that
// joiners wait for microseconds at most. A gate that is busy is waited for afterwards, one
// database at a time.
void LookUnderGates(const std::vector<DatabaseScan*>& seen, const std::function<void()>& waited) {
  for (size_t first = 0; first < seen.size(); first += kBatch) {
    std::vector<Opened> opened;
    std::vector<DatabaseScan*> busy;
    for (size_t i = first; i < std::min(seen.size(), first + kBatch); ++i) {
      Opened one(seen[i]);
      const Look look = OpenWithGateHeld(&one, /*wait=*/false);
      if (look == Look::kUnsettled) {
        opened.push_back(std::move(one));
      } else if (look == Look::kGateBusy) {
        busy.push_back(seen[i]);
      } else {
        AddOpensWithoutLock(&one);
      }
    }
    JudgeUnderGates(&opened);
    opened.clear();  // closing lets go of the gates
    for (DatabaseScan* scan : busy) {
      std::vector<Opened> single;
      single.emplace_back(scan);
      if (OpenWithGateHeld(&single[0], /*wait=*/true) == Look::kUnsettled) {
        JudgeUnderGates(&single);
      } else {
        AddOpensWithoutLock(&single[0]);
      }
      waited();
    }
  }
}

}  // namespace

void DatabaseScanner::Scan(std::vector<DatabaseScan>* scans,
                           const std::function<void(size_t)>& tick) {
  const std::vector<DatabaseScan*> seen = LookAtAll(scans, tick);
  LookUnderGates(seen, [&] {
    if (tick) tick(scans->size());
  });
}

}  // namespace quillet
