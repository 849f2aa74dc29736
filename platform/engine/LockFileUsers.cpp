#include "platform/engine/LockFileUsers.h"

#include <array>
#include <bitset>
#include <cerrno>

#include "platform/engine/JetErrors.h"
#include "platform/engine/JetSession.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockProtocol.h"
#include "platform/engine/LockRanges.h"
#include "platform/engine/UniqueFd.h"

namespace quillet {

using namespace lockmap;

namespace {

// Jet pads names with NULs, or ends them with a NUL and fills the rest with spaces.
std::string NameField(const char* field) {
  std::string name(field, kNameSize);
  name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

bool Blank(const char* record) {
  for (int i = 0; i < kRecordSize; ++i) {
    if (record[i] != '\0' && record[i] != ' ') return false;
  }
  return true;
}

}  // namespace

Status ReadLockFileUsers(const std::string& databasePath, std::string* lockPath,
                         std::vector<LockFileUser>* users) {
  *lockPath = LockFilePath(databasePath);
  users->clear();
  // A typo must not read as "nobody is in".
  if (Status verdict = ExamineDatabaseFile(databasePath); !verdict.ok()) return verdict;

  // Look before opening, as every opener of a lock file does: never a FIFO, never a link.
  struct stat seen;
  if (const int error = posix::Lstat(*lockPath, &seen); error != 0) {
    return error == ENOENT ? Status::OK() : JetError(kJetErrCannotOpen, *lockPath);
  }
  if (!S_ISREG(seen.st_mode)) return JetError(kJetErrCouldNotLock);
  const UniqueFd fd(posix::Open(*lockPath, O_RDONLY | O_NOFOLLOW));
  if (!fd.valid()) return errno == ENOENT ? Status::OK() : JetError(kJetErrCannotOpen, *lockPath);
  struct stat info;
  if (posix::Fstat(fd.get(), &info) != 0) return JetError(kJetErrCannotOpen, *lockPath);
  if (!CanBeLockFile(fd.get(), info)) return JetError(kJetErrCouldNotLock);

  std::array<char, kRecordsEnd> records{};
  if (posix::ReadAt(fd.get(), records.data(), records.size(), 0) < 0)
    return JetError(kJetErrCannotOpen, *lockPath);

  // These descriptors hold no lock, so every holder shows. The marks of this engine's
  // slots are on the database; without it, no held slot can be told to be ours.
  UniqueFd database;
  struct stat databaseInfo;
  if (posix::Stat(databasePath, &databaseInfo) == 0 && S_ISREG(databaseInfo.st_mode))
    database = UniqueFd(posix::Open(databasePath, O_RDONLY));
  std::bitset<kSlots> held;
  ForEachHeldRun(fd.get(), UserLock(0), UserLock(kSlots), [&](off_t begin, off_t end) {
    for (off_t offset = begin; offset < end; ++offset)
      held.set(static_cast<size_t>(offset - kUserLockBase));
    return true;
  });

  for (int slot = 0; slot < kSlots; ++slot) {
    const char* record = records.data() + slot * kRecordSize;
    if (!held[slot] && Blank(record)) continue;
    LockFileUser user;
    user.slot = slot;
    user.computer = NameField(record);
    user.account = NameField(record + kNameSize);
    if (held[slot]) {
      user.state = SlotMarked(database.get(), slot) ? LockFileUser::State::kLiveHere
                                                    : LockFileUser::State::kLiveElsewhere;
    }
    users->push_back(std::move(user));
  }
  return Status::OK();
}

}  // namespace quillet
