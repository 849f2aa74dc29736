#include "platform/engine/LockFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/base/AsciiCase.h"
#include "platform/base/PathNames.h"
#include "platform/base/Posix.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/LockProtocol.h"
#include "platform/engine/OtherOpeners.h"

namespace quillet {

using namespace lockmap;
using posix::ByteRange;

namespace {

ByteRange RecordRange(int slot) { return ByteRange{off_t{slot} * kRecordSize, kRecordSize}; }
constexpr ByteRange kUserLocks{UserLock(0), kSlots};

std::string ComputerName() {
  static const std::string name = [] {
    std::string computer;
    (void)posix::HostName(&computer);  // none: the record's computer field stays empty
    return computer;
  }();
  return name;
}

std::array<char, kRecordSize> MakeRecord(const std::string& user) {
  std::array<char, kRecordSize> record{};
  const std::string computer = ComputerName();
  std::memcpy(record.data(), computer.data(), std::min<size_t>(computer.size(), kNameSize));
  const std::string account = user.substr(0, user.find('\0'));
  std::memcpy(record.data() + kNameSize, account.data(),
              std::min<size_t>(account.size(), kNameSize));
  // Names are text (HoldsOnlyRecords): a control character in an account name becomes '?'.
  std::replace_if(
      record.begin(), record.end(),
      [](char c) { return c != '\0' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f); }, '?');
  return record;
}

// The order in which to try slots: records that are all zero (left by a clean leaver of
// this engine) and slots beyond the end of the file first, then the rest, whose records
// may be stale ones of crashed connections, or live ones of other engines (skipped when
// their user lock is found held).
// A lock file of 255 records is read whole on every join: the common cases (a zero record,
// a name padded with NULs) are compared in blocks, not byte by byte.
bool AllZero(const char* bytes, size_t size) {
  static constexpr char kZeros[kRecordSize] = {};
  return size <= kRecordSize && std::memcmp(bytes, kZeros, size) == 0;
}

std::vector<int> CandidateSlots(std::string_view contents) {
  const off_t got = static_cast<off_t>(contents.size());
  std::vector<int> likelyFree;
  std::vector<int> stale;
  likelyFree.reserve(kSlots);
  for (int slot = 0; slot < kSlots; ++slot) {
    const off_t begin = RecordRange(slot).start;
    const off_t end = std::min<off_t>(RecordRange(slot).end(), got);
    const bool zero = begin >= end || AllZero(contents.data() + begin, size_t(end - begin));
    (zero ? likelyFree : stale).push_back(slot);
  }
  likelyFree.insert(likelyFree.end(), stale.begin(), stale.end());
  return likelyFree;
}

// Jet's records: two names of ANSI text, each padded with NULs or spaces to 32 bytes (Jet
// ends a name with a NUL and fills the rest with spaces), or all zero. A text file, an
// image or a program's data under the lock file's name is somebody's, not a lock file.
bool HoldsOnlyRecords(std::string_view contents) {
  const auto text = [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; };
  const auto padding = [](char c) { return c == '\0' || c == ' '; };
  for (const char* field = contents.data(); field != contents.data() + contents.size();) {
    const char* end = std::min(field + kNameSize, contents.data() + contents.size());
    const char* pad = std::find_if_not(field, end, text);
    if (!AllZero(pad, size_t(end - pad)) && std::find_if_not(pad, end, padding) != end)
      return false;
    field = end;
  }
  return true;
}

// The contents of what can be a lock file (CanBeLockFile); false for anything else. They
// stay valid until the thread's next call: the buffer is kept, not zeroed and freed per join.
bool ReadLockFile(int fd, const struct stat& info, std::string_view* contents) {
  if (!S_ISREG(info.st_mode) || info.st_nlink > 1 || info.st_size > kRecordsEnd) return false;
  thread_local std::array<char, kRecordsEnd> buffer;
  const ssize_t got =
      info.st_size == 0 ? 0 : posix::ReadAt(fd, buffer.data(), size_t(info.st_size), 0);
  if (got < 0) return false;
  *contents = std::string_view(buffer.data(), size_t(got));
  return HoldsOnlyRecords(*contents);
}

// A Kill (read lock) or a leaver about to delete the file (write lock) holds all of it.
bool DeletionUnderWay(int fd, off_t offset) {
  std::optional<HeldLock> holder;
  return FirstHeldLock(fd, ByteRange{offset, 1}, &holder) && holder && holder->wholeFile();
}

// Takes a free slot, the first in CandidateSlots' order: its mark first, then its user lock,
// so that a user lock of ours is never seen without its mark. A slot whose mark is held is
// another connection's of this engine; one whose user lock is held is another engine's, and
// its record is not ours to touch; so is one whose user lock Samba's table lists for a client,
// whether Linux shows it or not. kClaimed with *slot; kFull, or kRetry where a deletion began
// while we were looking; kFailed when a lock call failed.
LockFileSlot::Outcome TakeFreeSlot(int lockFd, const struct stat& lockFile, int databaseFd,
                                   std::string_view contents, bool recordLevel, int* slot) {
  using Outcome = LockFileSlot::Outcome;
  const OtherOpeners samba = OtherOpenersOf(lockFile);
  bool contended = false;
  for (int candidate : CandidateSlots(contents)) {
    if (samba.holds(UserLock(candidate))) continue;
    const ByteRange mark{Mark(candidate, recordLevel), 1};
    int error = posix::TryLock(databaseFd, F_WRLCK, mark);
    if (error == EBADF) error = posix::TryLock(databaseFd, F_RDLCK, mark);  // a read-only joiner
    if (error == EAGAIN) continue;
    if (error != 0) return Outcome::kFailed;
    const ByteRange userLock{UserLock(candidate), 1};
    error = posix::TryLock(lockFd, F_WRLCK, userLock);
    if (error == 0) {
      *slot = candidate;
      return Outcome::kClaimed;
    }
    (void)posix::Unlock(databaseFd, mark);
    if (error != EAGAIN) return Outcome::kFailed;
    if (!contended) {
      contended = true;
      if (DeletionUnderWay(lockFd, userLock.start)) return Outcome::kRetry;
    }
  }
  return DeletionUnderWay(lockFd, UserLock(0)) ? Outcome::kRetry : Outcome::kFull;
}

// The lock file opened for a join, and whether this join created it.
struct OpenedLockFile {
  UniqueFd fd;
  struct stat info {};
  bool created = false;
};

// Opens the lock file, or creates it where there is none (and this process may: MayCreateIn).
// kClaimed here means opened; the others are Claim's outcomes, kFailed with *status.
LockFileSlot::Outcome OpenLockFile(const NameAt& lockFile, const std::string& databasePath,
                                   const struct stat& database, OpenedLockFile* opened,
                                   Status* status) {
  using Outcome = LockFileSlot::Outcome;
  const auto fail = [&](int error) {
    *status = error == 0                        ? JetError(kJetErrCouldNotLock)
              : posix::IsPermissionError(error) ? JetError(kJetErrCannotOpen, databasePath)
                                                : OpenFailure(error, kJetErrCouldNotLock);
    return Outcome::kFailed;
  };
  // Look before opening: a device or FIFO under that name must never be opened, and a
  // symlink must never be followed.
  OpenedAt file = OpenRegularAt(lockFile, O_RDWR);
  if (file.error == 0 || file.error == kNotRegular) {
    if (posix::SameFile(file.info, database)) return Outcome::kNoLockFile;
    if (file.error == kNotRegular) return fail(0);
    opened->fd = std::move(file.fd);
    opened->info = file.info;
    return Outcome::kClaimed;
  }
  if (file.error != ENOENT) return fail(file.error);

  const Creation creation = MayCreateIn(lockFile.folder);
  if (creation.error != 0) return fail(creation.error);
  opened->fd = UniqueFd(
      posix::OpenAt(lockFile.folder, lockFile.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  if (!opened->fd.valid()) return errno == EEXIST ? Outcome::kRetry : fail(errno);
  opened->created = true;
  // Whoever may read the database may join it, and every joiner writes its record: the
  // new file may be written by whoever may read the database, whatever this umask says.
  const mode_t readers = database.st_mode & 0444;
  (void)posix::Fchmod(opened->fd.get(), readers | readers >> 1 | 0600);
  // A user cannot hand a file over (only root can): theirs stays theirs, as they made it.
  if (creation.handOver) (void)posix::Fchown(opened->fd.get(), creation.owner, creation.group);
  return posix::Fstat(opened->fd.get(), &opened->info) == 0 ? Outcome::kClaimed : fail(0);
}

}  // namespace

std::string LockFilePath(const std::string& databasePath) {
  return WithExtension(databasePath, kLockFileExtension);
}

bool IsLockFileName(std::string_view path) {
  return EndsWithIgnoringAsciiCase(path, kLockFileExtension);
}

bool CanBeLockFile(int fd, const struct stat& info) {
  std::string_view contents;
  return ReadLockFile(fd, info, &contents);
}

bool CouldBeLockFileOf(const NameAt& lockFile, const std::string& databaseName) {
  const LookedAt database = LookAt(NameAt{lockFile.folder, databaseName}, /*followLink=*/true);
  if (database.error != 0 || !S_ISREG(database.info.st_mode)) return false;
  const OpenedAt seen = OpenRegularAt(lockFile, O_RDONLY);
  if (!S_ISREG(seen.info.st_mode) || posix::SameFile(seen.info, database.info)) return false;
  // One we may not read can still be a lock file; deleting it will tell.
  if (!seen.fd.valid())
    return seen.error != kNotRegular && seen.info.st_nlink <= 1 && seen.info.st_size <= kRecordsEnd;
  return CanBeLockFile(seen.fd.get(), seen.info);
}

bool CouldBeLockFileOf(const std::string& lockPath, const std::string& databasePath) {
  const FolderOf folder(databasePath);
  return folder.valid() && ParentFolder(lockPath) == ParentFolder(databasePath) &&
         CouldBeLockFileOf(folder.at(LastName(lockPath)), folder.name());
}

bool AnotherEngineInLockFile(int lockFd, int databaseFd) {
  // Where this engine never locks: the records, and Jet's range beyond the user locks. A
  // user lock held without its mark is another engine's too.
  return !ForEachHeldLock(lockFd, kUserLocks, [databaseFd](const HeldLock& lock) {
    if (lock.wholeFile()) return false;  // a Kill or last leaver hides what lies beneath it
    if (lock.start < UserLock(0) || lock.end > UserLock(kSlots)) return false;
    for (off_t userLock = lock.start; userLock < lock.end; ++userLock) {
      if (SlotMarked(databaseFd, SlotOfUserLock(userLock)) != true) return false;
    }
    return true;
  });
}

std::optional<bool> SlotMarked(int databaseFd, int slot) {
  if (databaseFd < 0) return false;
  posix::LockHolder mark;
  if (posix::TestLock(databaseFd, F_WRLCK, ByteRange{Mark(slot, false), 2}, &mark) != 0)
    return std::nullopt;
  return mark.held();
}

LockFileSlot::Outcome LockFileSlot::Claim(const NameAt& lockFile, const std::string& databasePath,
                                          int databaseFd, const struct stat& database,
                                          const std::string& user, bool recordLevel,
                                          std::optional<LockFileSlot>* slot, Status* status) {
  OpenedLockFile file;
  if (const Outcome outcome = OpenLockFile(lockFile, databasePath, database, &file, status);
      outcome != Outcome::kClaimed)
    return outcome;
  UniqueFd& fd = file.fd;
  const struct stat& opened = file.info;
  auto fail = [&](Status error) {
    *status = std::move(error);
    return Outcome::kFailed;
  };
  std::string_view contents;
  if (!ReadLockFile(fd.get(), opened, &contents)) return fail(JetError(kJetErrCouldNotLock));

  // A file we created and cannot make ours (a full disk leaves it empty) is removed again,
  // unless someone joined it meanwhile: a write lock over all of it is granted only if nobody
  // else holds any part of it.
  const auto failCreated = [&](Status error) {
    if (file.created && posix::TryLock(fd.get(), F_WRLCK, posix::kWholeFile) == 0)
      (void)UnlinkIfStill(lockFile, opened);
    return fail(std::move(error));
  };

  int claimed = -1;
  const Outcome taken = TakeFreeSlot(fd.get(), opened, databaseFd, contents, recordLevel, &claimed);
  if (taken == Outcome::kFailed) return failCreated(JetError(kJetErrCouldNotLock));
  if (taken != Outcome::kClaimed) return taken;

  // From here on, giving up lets go of the mark; the user lock goes with `fd`.
  const auto giveUp = [&](Outcome outcome) {
    (void)posix::Unlock(databaseFd, ByteRange{Mark(claimed, recordLevel), 1});
    return outcome;
  };
  const auto record = MakeRecord(user);
  if (posix::WriteAt(fd.get(), record.data(), record.size(), RecordRange(claimed).start) != 0)
    return giveUp(failCreated(JetError(kJetErrCouldNotLock)));

  // The slot is ours; make sure the file still is the lock file. If a Kill unlinked it
  // after we opened it, our slot is in a file nobody else will find.
  struct stat now;
  if (posix::StatAt(lockFile.folder, lockFile.name, &now) != 0 || !posix::SameFile(now, opened))
    return giveUp(Outcome::kRetry);

  slot->emplace(LockFileSlot(lockFile, std::move(fd), opened, claimed));
  return Outcome::kClaimed;
}

void LockFileSlot::Leave(bool mayDelete, const OtherOpeners& samba) {
  if (!fd_.valid()) return;
  // Our record is cleared while the slot is still ours: once the user lock goes, another
  // engine may take the slot and write its own record there. Where Samba keeps its clients'
  // locks to itself, a client that could not see ours may have taken the slot already: its
  // record, which Samba's table then shows, is left alone.
  if (!samba.holds(UserLock(slot_))) {
    const std::array<char, kRecordSize> zero{};
    (void)posix::WriteAt(fd_.get(), zero.data(), zero.size(), RecordRange(slot_).start);
  }

  // A write lock over the whole file is granted only if no other description holds any
  // part of it: no connection of this engine or another, no Kill under way. Our own user
  // lock is simply widened, and closing drops it.
  if (mayDelete && posix::TryLock(fd_.get(), F_WRLCK, posix::kWholeFile) == 0)
    (void)UnlinkIfStill(file_, info_);
  fd_.reset();
}

}  // namespace quillet
