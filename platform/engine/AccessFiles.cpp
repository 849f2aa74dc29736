#include "platform/engine/AccessFiles.h"

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstring>

#include "platform/engine/AsciiCase.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/PathNames.h"
#include "platform/engine/Posix.h"
#include "platform/engine/UniqueFd.h"

namespace quillet {

namespace {

using namespace lockmap;
using State = DatabaseScan::State;

constexpr off_t kAcePageSize = 4096;
constexpr unsigned char kAce12 = 0x02;  // Access 2007; later versions count up from it

bool EndsWithNoCase(std::string_view path, std::string_view extension) {
  return path.size() >= extension.size() &&
         EqualsIgnoringAsciiCase(path.substr(path.size() - extension.size()), extension);
}

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

// False if a query failed. A lock over the whole lock file names no slot in particular. Only
// the user locks are told apart; any other lock, however many, only says someone is in.
bool ReadLocks(int databaseFd, int lockFileFd, AccessLocks* locks) {
  std::vector<HeldLock> held;
  if (databaseFd >= 0) {
    if (!QueryHeldLocks(databaseFd, posix::ByteRange{0, 1}, &held)) return false;
    locks->any = !held.empty();
  }
  if (lockFileFd < 0) return true;
  if (!QueryHeldLocks(lockFileFd, posix::ByteRange{UserLock(0), kSlots}, &held)) return false;
  locks->any = locks->any || !held.empty();
  for (const HeldLock& lock : held) {
    if (lock.start == 0 && lock.end == HeldLock::kToEnd) continue;
    for (off_t at = std::max(lock.start, UserLock(0)); at < std::min(lock.end, UserLock(kSlots));
         ++at)
      locks->userLocks.set(static_cast<size_t>(at - kUserLockBase));
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

// Opens the database to be looked at, looking first: a link is not followed, a FIFO or device
// never opened. False when that settles the scan.
bool OpenAccessDatabase(DatabaseScan* scan, UniqueFd* database) {
  const std::string& path = scan->path;
  struct stat info;
  info.st_mode = S_IFREG;
  if (const int error = scan->listedAsRegularFile ? 0 : posix::Lstat(path, &info); error != 0) {
    scan->absent = error == ENOENT;
    Settle(scan, State::kUnknown, JetError(kJetErrCannotOpen, path).description());
    return false;
  }
  if (S_ISLNK(info.st_mode) || S_ISDIR(info.st_mode)) {
    scan->absent = true;
    return false;
  }
  const std::string refused = JetError(kJetErrUnrecognizedFormat, path).description();
  if (!S_ISREG(info.st_mode)) {
    scan->mount = LocksOfPath(path);
    Settle(scan, State::kNotADatabase, refused);
    return false;
  }
  *database = UniqueFd(posix::Open(path, O_RDONLY | O_NOFOLLOW));
  if (!database->valid() || posix::Fstat(database->get(), &info) != 0) {
    scan->absent = errno == ENOENT || errno == ELOOP;
    scan->mount = LocksOfPath(path);
    Settle(scan, State::kUnknown, JetError(kJetErrCannotOpen, path).description());
    return false;
  }
  scan->mount = LocksOf(database->get(), info);
  if (!S_ISREG(info.st_mode) || !IsAccessDatabase(database->get(), info.st_size)) {
    Settle(scan, State::kNotADatabase, refused);
    return false;
  }
  return true;
}

// A .laccdb whose database is missing.
void LookAtOrphan(DatabaseScan* scan) {
  LockFileContents lockFile;
  const Status read = ReadLockFile(scan->path, &lockFile);
  if (!read.ok() || !lockFile.fd.valid()) {
    // Gone, or not a lock file after all (a user's document named so): none of the scan's
    // business. One that cannot be read is told.
    scan->absent = read.ok() || read.Is(ErrorSource::kJet, kJetErrCouldNotLock);
    Settle(scan, State::kUnknown, read.description());
    return;
  }
  scan->lockFile = scan->path;
  scan->mount = LocksOf(lockFile.fd.get());
  Judge(scan, -1, lockFile);
  if (scan->state == State::kOtherEngine) {
    Settle(scan, State::kUnknown,
           "Someone holds this lock file, but no database of its name (.accdb or .accde) is "
           "beside it: a database named otherwise may be open.");
  }
}

// What a path that names no Access database gets, as ExamineDatabaseFile tells a Jet one.
Status ExamineAccessFile(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos)
    return JetError(kJetErrInvalidPath, path);
  struct stat info;
  if (const int error = posix::Stat(path, &info); error != 0) {
    struct stat folder;
    if (posix::IsPermissionError(error)) return JetError(kJetErrCannotOpen, path);
    const bool inFolder =
        error == ENOENT && posix::Stat(ParentFolder(path), &folder) == 0 && S_ISDIR(folder.st_mode);
    return JetError(inFolder ? kJetErrCouldNotFindFile : kJetErrInvalidPath, path);
  }
  if (S_ISDIR(info.st_mode)) return JetError(kJetErrInvalidPath, path);
  if (!S_ISREG(info.st_mode)) return JetError(kJetErrUnrecognizedFormat, path);
  const UniqueFd fd(posix::Open(path, O_RDONLY | O_NOFOLLOW));
  if (!fd.valid() || posix::Fstat(fd.get(), &info) != 0) return Status::OK();  // cannot tell
  return S_ISREG(info.st_mode) && IsAccessDatabase(fd.get(), info.st_size)
             ? Status::OK()
             : JetError(kJetErrUnrecognizedFormat, path);
}

}  // namespace

bool IsAccessDatabaseName(std::string_view path) {
  return EndsWithNoCase(path, ".accdb") || EndsWithNoCase(path, ".accde");
}

bool IsAccessLockFileName(std::string_view path) { return EndsWithNoCase(path, ".laccdb"); }

std::string AccessLockFilePath(const std::string& databasePath) {
  const long long dot = ExtensionDot(databasePath);
  return (dot < 0 ? databasePath : databasePath.substr(0, dot)) + ".laccdb";
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
  UniqueFd database;
  if (!OpenAccessDatabase(scan, &database)) return;
  scan->lockFile = AccessLockFilePath(scan->path);
  LockFileContents lockFile;
  if (const Status read = ReadLockFile(scan->lockFile, &lockFile); !read.ok()) {
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
  if (Status verdict = ExamineAccessFile(databasePath); !verdict.ok()) return verdict;
  LockFileContents lockFile;
  if (Status read = ReadLockFile(*lockPath, &lockFile); !read.ok()) return read;
  if (lockFile.fd.valid()) {
    DatabaseScan scan;
    scan.path = databasePath;
    scan.mount = LocksOf(lockFile.fd.get());
    const UniqueFd database(posix::Open(databasePath, O_RDONLY | O_NOFOLLOW));
    Judge(&scan, database.get(), lockFile);
    *users = std::move(scan.users);
  }
  struct stat database;
  if (posix::Stat(databasePath, &database) != 0) return Status::OK();
  for (const OtherOpener& opener : OtherOpenersOf(database).openers) {
    LockFileUser user;
    user.slot = -1;
    user.computer = opener.computer;
    user.account = opener.account;
    user.state = LockFileUser::State::kOpenWithoutLock;
    user.exclusive = opener.exclusive;
    user.address = opener.address;
    users->push_back(std::move(user));
  }
  return Status::OK();
}

}  // namespace quillet
