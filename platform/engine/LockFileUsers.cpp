#include "platform/engine/LockFileUsers.h"

#include <cerrno>

#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/JetSession.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/SambaServing.h"

namespace quillet {

using namespace lockmap;

namespace {

// Jet pads names with NULs, or ends them with a NUL and fills the rest with spaces.
std::string NameField(std::string_view field) {
  std::string name(field.substr(0, std::min(field.size(), field.find('\0'))));
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

bool Blank(std::string_view record) {
  return record.find_first_not_of(std::string_view("\0 ", 2)) == std::string_view::npos;
}

}  // namespace

Status ReadLockFile(const std::string& lockPath, LockFileContents* contents, int folderFd) {
  contents->fd.reset();
  contents->records.clear();
  // Look before opening, as every opener of a lock file does: never a FIFO, never a link.
  OpenedAt opened = OpenRegularAt(
      NameAt{folderFd, folderFd == AT_FDCWD ? lockPath : LastName(lockPath)}, O_RDONLY);
  if (opened.error == ENOENT) return Status::OK();
  if (opened.error == kNotRegular) return JetError(kJetErrCouldNotLock);
  if (opened.error != 0) return OpenFailure(opened.error, kJetErrCannotOpen, lockPath);
  UniqueFd fd = std::move(opened.fd);
  contents->info = opened.info;
  if (!CanBeLockFile(fd.get(), contents->info)) return JetError(kJetErrCouldNotLock);

  contents->records.resize(kRecordsEnd);
  const ssize_t got = posix::ReadAt(fd.get(), contents->records.data(), kRecordsEnd, 0);
  if (got < 0) return JetError(kJetErrCannotOpen, lockPath);
  contents->records.resize(static_cast<size_t>(got));
  contents->fd = std::move(fd);
  return Status::OK();
}

std::vector<LockFileUser> LockFileRecords(std::string_view records,
                                          const std::bitset<kSlots>& held) {
  std::vector<LockFileUser> users;
  if (records.empty() && held.none()) return users;
  for (int slot = 0; slot < kSlots; ++slot) {
    const std::string_view record = records.substr(
        std::min(records.size(), static_cast<size_t>(slot) * kRecordSize), kRecordSize);
    if (!held[slot] && Blank(record)) continue;
    LockFileUser user;
    user.slot = slot;
    user.computer = NameField(record.substr(0, std::min<size_t>(record.size(), kNameSize)));
    user.account = NameField(record.substr(std::min<size_t>(record.size(), kNameSize)));
    users.push_back(std::move(user));
  }
  return users;
}

// The lock file's records, in slot order, beside the database examined at databasePath.
static Status ReadRecords(const ExaminedDatabase& database, const std::string& databasePath,
                          const std::string& lockPath, std::vector<LockFileUser>* users) {
  LockFileContents lockFile;
  if (const Status read = ReadLockFile(lockPath, &lockFile, database.folder.fd());
      !read.ok() || !lockFile.fd.valid())
    return read;
  const int fd = lockFile.fd.get();
  MountLocks mount = LocksOf(fd);
  AddSambaServing(databasePath, &mount);

  // These descriptors hold no lock, so every holder shows. The marks of this engine's
  // slots are on the database; without it, no held slot can be told to be ours. A user
  // lock that Samba's table lists is a client's, whatever Linux shows.
  const OtherOpeners samba = OtherOpenersOf(lockFile.info);
  std::bitset<kSlots> held, bySamba;
  for (int slot = 0; slot < kSlots; ++slot) bySamba[size_t(slot)] = samba.holds(UserLock(slot));
  const auto addUserLocks = [&held](const HeldLock& lock) {
    if (lock.wholeFile()) return false;  // it hides the user locks
    AddUserLockSlots(lock, &held);
    return true;
  };
  const bool visible =
      mount.seen() && ForEachHeldLock(fd, posix::ByteRange{UserLock(0), kSlots}, addUserLocks);

  *users = LockFileRecords(lockFile.records, held | bySamba);
  for (LockFileUser& user : *users) {
    if (!visible) {
      user.state = LockFileUser::State::kUnknown;
    } else if (bySamba[size_t(user.slot)]) {
      user.state = LockFileUser::State::kLiveElsewhere;
    } else if (held[size_t(user.slot)]) {
      const std::optional<bool> ours = SlotMarked(database.fd.get(), user.slot);
      user.state = !ours   ? LockFileUser::State::kUnknown
                   : *ours ? LockFileUser::State::kLiveHere
                           : LockFileUser::State::kLiveElsewhere;
    }
  }
  return Status::OK();
}

Status ReadLockFileUsers(const std::string& databasePath, std::string* lockPath,
                         std::vector<LockFileUser>* users) {
  *lockPath = LockFilePath(databasePath);
  users->clear();
  // A typo must not read as "nobody is in". The database and its lock file are looked at in
  // its folder, opened once.
  ExaminedDatabase database;
  if (Status verdict = ExamineDatabaseFile(databasePath, &database); !verdict.ok()) return verdict;
  if (Status status = ReadRecords(database, databasePath, *lockPath, users); !status.ok())
    return status;
  AddOpensWithoutRecord(OtherOpenersOf(database.info).openers, users);
  return Status::OK();
}

void AddOpensWithoutRecord(const std::vector<OtherOpener>& openers,
                           std::vector<LockFileUser>* users) {
  for (const OtherOpener& opener : openers) {
    LockFileUser user;
    user.slot = -1;
    user.computer = opener.computer;
    user.account = opener.account;
    user.state = LockFileUser::State::kOpenWithoutLock;
    user.exclusive = opener.exclusive;
    user.address = opener.address;
    users->push_back(std::move(user));
  }
}

}  // namespace quillet
