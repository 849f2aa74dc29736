#include "platform/engine/AccessFiles.h"

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstring>

#include "platform/base/AsciiCase.h"
#include "platform/base/PathNames.h"
#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/FolderFiles.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/JetSession.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/SambaServing.h"

namespace quillet {

namespace {

using namespace lockmap;
using State = DatabaseScan::State;

constexpr std::string_view kAccessLockFileExtension = ".laccdb";
constexpr off_t kAcePageSize = 4096;
constexpr unsigned char kAce12 = 0x02;  // Access 2007; later versions count up from it

void Settle(DatabaseScan* scan, State state, std::string reason = {}) {
  scan->state = state;
  scan->mode = LockingMode::kUnknown;
  scan->reason = std::move(reason);
}

// What the locks on an Access database and its lock file show: whether anyone holds one, and
// which of the lock file's user locks (Jet's offsets) are held.
struct AccessLocks {
  bool any = false;
  std::bitset<kSlots> userLocks;
};

// The locks a Samba server here holds on the open file for its clients, added to `held`: where
// a share keeps them from Linux, its table is the only place that shows them.
void AddSambaLocks(int fd, std::vector<HeldLock>* held) {
  struct stat info;
  if (posix::Fstat(fd, &info) != 0) return;
  const std::vector<HeldLock> samba = OtherOpenersOf(info).locks;
  held->insert(held->end(), samba.begin(), samba.end());
}

// False if a query failed. A lock over the whole lock file names no slot in particular. Only
// the user locks are told apart; any other lock, however many, only says someone is in.
bool ReadLocks(int databaseFd, int lockFileFd, AccessLocks* locks) {
  std::vector<HeldLock> held;
  if (databaseFd >= 0) {
    if (!QueryHeldLocks(databaseFd, posix::ByteRange{0, 1}, &held)) return false;
    AddSambaLocks(databaseFd, &held);
    locks->any = !held.empty();
  }
  if (lockFileFd < 0) return true;
  if (!QueryHeldLocks(lockFileFd, posix::ByteRange{UserLock(0), kSlots}, &held)) return false;
  AddSambaLocks(lockFileFd, &held);
  locks->any = locks->any || !held.empty();
  for (const HeldLock& lock : held) {
    if (lock.start == 0 && lock.end == HeldLock::kToEnd) continue;
    AddUserLockSlots(lock, &locks->userLocks);
  }
  return true;
}

// Settles the scan from the locks on `databaseFd` (-1 for none) and on the lock file.
void Judge(DatabaseScan* scan, int databaseFd, const LockFileContents& lockFile) {
  AccessLocks locks;
  const bool seen = scan->mount.seen();
  const bool read = seen && ReadLocks(databaseFd, lockFile.fd.get(), &locks);
  scan->users = LockFileRecords(lockFile.records, locks.userLocks);
  scan->lockFile = lockFile.fd.valid() ? scan->lockFile : std::string();
  scan->liveHere = scan->liveElsewhere = scan->leftBehind = 0;
  for (LockFileUser& user : scan->users) {
    if (!read) {
      user.state = LockFileUser::State::kUnknown;
    } else if (locks.userLocks[user.slot]) {
      user.state = LockFileUser::State::kLiveElsewhere;
      ++scan->liveElsewhere;
    } else if (!locks.any) {
      user.state = LockFileUser::State::kLeftBehind;
      ++scan->leftBehind;
    } else {
      user.state = LockFileUser::State::kUnknown;  // ACE's offsets are assumed, not known
    }
  }
  if (!seen) return Settle(scan, State::kUnknown, LocksUnseenReason(scan->mount));
  if (!read) {
    return Settle(scan, State::kUnknown,
                  "The locks on '" + scan->path + "' could not be read: who is in cannot be told.");
  }
  Settle(scan, locks.any             ? State::kOtherEngine
               : lockFile.fd.valid() ? State::kStaleLockFile
                                     : State::kClosed);
}

// Opens the database to be looked at as a Jet one's is looked at: in its folder, opened once,
// through a descriptor that cannot act on what it names; a link is not followed, a FIFO or
// device never opened. False when that settles the scan.
bool OpenAccessDatabase(DatabaseScan* scan, FolderOf* folder, UniqueFd* database) {
  const std::string& path = scan->path;
  const auto settle = [&](State state, const Status& error) {
    scan->mount = DatabaseLocksOf(path);  // names only: nothing is opened for reading
    Settle(scan, state, error.description());
    return false;
  };
  *folder = FolderOf(path);
  const LookedAt looked =
      folder->valid() ? LookAt(folder->entry(), /*followLink=*/false) : LookedAt{{}, {}, ENOENT};
  if (looked.error != 0) {
    scan->absent = looked.error == ENOENT;
    return settle(State::kUnknown, OpenFailure(looked.error, kJetErrCannotOpen, path));
  }
  if (S_ISLNK(looked.info.st_mode) || S_ISDIR(looked.info.st_mode)) {
    scan->absent = true;
    return false;
  }
  const Status refused = JetError(kJetErrUnrecognizedFormat, path);
  if (!S_ISREG(looked.info.st_mode)) return settle(State::kNotADatabase, refused);
  *database = OpenLooked(looked, O_RDONLY);
  if (!database->valid())
    return settle(State::kUnknown, OpenFailure(errno, kJetErrCannotOpen, path));
  scan->mount = LocksOf(database->get(), looked.info);
  AddSambaServing(path, &scan->mount);
  if (!IsAccessDatabase(database->get(), looked.info.st_size)) {
    Settle(scan, State::kNotADatabase, refused.description());
    return false;
  }
  return true;
}

// A .laccdb whose database is missing.
void LookAtOrphan(DatabaseScan* scan) {
  LockFileContents lockFile;
  const FolderOf folder(scan->path);
  const Status read = folder.valid() ? ReadLockFile(scan->path, &lockFile, folder.fd())
                                     : OpenFailure(folder.error(), kJetErrCannotOpen, scan->path);
  if (!read.ok() || !lockFile.fd.valid()) {
    // Gone, or not a lock file after all (a user's document named so): none of the scan's
    // business. One that cannot be read is told.
    scan->absent = read.ok() || read.Is(ErrorSource::kJet, kJetErrCouldNotLock);
    Settle(scan, State::kUnknown, read.description());
    return;
  }
  scan->lockFile = scan->path;
  scan->mount = LocksOf(lockFile.fd.get());
  AddSambaServing(scan->path, &scan->mount);
  Judge(scan, -1, lockFile);
  if (scan->state == State::kOtherEngine) {
    Settle(scan, State::kUnknown,
           "Someone holds this lock file, but no database of its name (.accdb or .accde) is "
           "beside it: a database named otherwise may be open.");
  }
}

}  // namespace

bool IsAccessDatabaseName(std::string_view path) {
  return EndsWithIgnoringAsciiCase(path, ".accdb") || EndsWithIgnoringAsciiCase(path, ".accde");
}

bool IsAccessLockFileName(std::string_view path) {
  return EndsWithIgnoringAsciiCase(path, kAccessLockFileExtension);
}

std::string AccessLockFilePath(const std::string& databasePath) {
  return WithExtension(databasePath, kAccessLockFileExtension);
}

bool IsAccessDatabase(int fd, off_t fileSize) {
  constexpr char kName[] = "Standard ACE DB";  // NUL-terminated in its 16-byte field
  unsigned char header[0x15];
  if (posix::ReadAt(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
    return false;
  return header[0] == 0x00 && std::memcmp(header + 4, kName, sizeof kName) == 0 &&
         header[0x14] >= kAce12 && fileSize >= kAcePageSize;
}

void LookAtAccessFile(DatabaseScan* scan) {
  if (scan->orphanLockFile) return LookAtOrphan(scan);
  FolderOf folder;
  UniqueFd database;
  if (!OpenAccessDatabase(scan, &folder, &database)) return;
  scan->lockFile = AccessLockFilePath(scan->path);
  LockFileContents lockFile;
  if (const Status read = ReadLockFile(scan->lockFile, &lockFile, folder.fd()); !read.ok()) {
    Settle(scan, State::kUnknown,
           read.Is(ErrorSource::kJet, kJetErrCouldNotLock)
               ? read.description() + " '" + scan->lockFile +
                     "' cannot be its lock file: it holds something other than records."
               : read.description());
    return;
  }
  Judge(scan, database.get(), lockFile);
}

Status ReadAccessLockFileUsers(const std::string& databasePath, std::string* lockPath,
                               std::vector<LockFileUser>* users) {
  *lockPath = AccessLockFilePath(databasePath);
  users->clear();
  ExaminedDatabase database;
  if (Status verdict = ExamineDatabaseFile(databasePath, &database, IsAccessDatabase);
      !verdict.ok())
    return verdict;
  LockFileContents lockFile;
  if (Status read = ReadLockFile(*lockPath, &lockFile, database.folder.fd()); !read.ok())
    return read;
  if (lockFile.fd.valid()) {
    DatabaseScan scan;
    scan.path = databasePath;
    scan.mount = LocksOf(lockFile.fd.get());
    AddSambaServing(databasePath, &scan.mount);
    Judge(&scan, database.fd.get(), lockFile);
    *users = std::move(scan.users);
  }
  AddOpensWithoutRecord(OtherOpenersOf(database.info).openers, users);
  return Status::OK();
}

}  // namespace quillet
