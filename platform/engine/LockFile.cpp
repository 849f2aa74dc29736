#include "platform/engine/LockFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/engine/JetErrors.h"
#include "platform/engine/LockProtocol.h"
#include "platform/engine/LockRanges.h"
#include "platform/engine/PathNames.h"
#include "platform/engine/Posix.h"

namespace quillet {

using namespace lockmap;
using posix::ByteRange;

namespace {

ByteRange RecordRange(int slot) { return ByteRange{off_t{slot} * kRecordSize, kRecordSize}; }

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
  posix::LockHolder holder;
  return posix::TestLock(fd, F_WRLCK, ByteRange{offset, 1}, &holder) == 0 && holder.wholeFile();
}

}  // namespace

std::string LockFilePath(const std::string& databasePath) {
  const long long dot = ExtensionDot(databasePath);
  return (dot < 0 ? databasePath : databasePath.substr(0, dot)) + ".ldb";
}

bool CanBeLockFile(int fd, const struct stat& info) {
  std::string_view contents;
  return ReadLockFile(fd, info, &contents);
}

bool CouldBeLockFileOf(const std::string& lockPath, const std::string& databasePath) {
  struct stat seen;
  if (posix::Lstat(lockPath, &seen) != 0 || !S_ISREG(seen.st_mode)) return false;
  struct stat database;
  if (posix::Stat(databasePath, &database) == 0 && posix::SameFile(seen, database)) return false;
  const UniqueFd fd(posix::Open(lockPath, O_RDONLY | O_NOFOLLOW));
  // One we may not read can still be a lock file; deleting it will tell.
  if (!fd.valid()) return seen.st_nlink <= 1 && seen.st_size <= kRecordsEnd;
  struct stat opened;
  return posix::Fstat(fd.get(), &opened) == 0 && posix::SameFile(opened, seen) &&
         CanBeLockFile(fd.get(), opened);
}

bool AnotherEngineInLockFile(int lockFd, int databaseFd) {
  // Where this engine never locks: the records, and Jet's range beyond the user locks. A
  // whole-file lock is this engine's Kill or last leaver.
  for (const ByteRange range : {ByteRange{0, kUserLockBase}, ByteRange{UserLock(kSlots), 0}}) {
    posix::LockHolder holder;
    if (posix::TestLock(lockFd, F_WRLCK, range, &holder) != 0) return true;
    if (holder.held() && !holder.wholeFile()) return true;
  }
  // A user lock held without its mark.
  bool foreign = false;
  const bool seen =
      ForEachHeldRun(lockFd, UserLock(0), UserLock(kSlots), [&](off_t begin, off_t end) {
        for (off_t offset = begin; offset < end && !foreign; ++offset) {
          foreign = SlotMarked(databaseFd, static_cast<int>(offset - kUserLockBase)) != true;
        }
        return !foreign;
      });
  return foreign || !seen;
}

std::optional<bool> SlotMarked(int databaseFd, int slot) {
  if (databaseFd < 0) return false;
  posix::LockHolder mark;
  if (posix::TestLock(databaseFd, F_WRLCK, ByteRange{Mark(slot, false), 2}, &mark) != 0)
    return std::nullopt;
  return mark.held();
}

LockFileSlot::Outcome LockFileSlot::Claim(const std::string& lockPath,
                                          const std::string& databasePath, int databaseFd,
                                          const struct stat& database, const std::string& user,
                                          bool recordLevel, std::optional<LockFileSlot>* slot,
                                          Status* status) {
  auto fail = [&](Status error) {
    *status = std::move(error);
    return Outcome::kFailed;
  };
  auto failOpen = [&](int error) {
    return fail(posix::IsPermissionError(error) ? JetError(kJetErrCannotOpen, databasePath)
                                                : JetError(kJetErrCouldNotLock));
  };

  // Look before opening: a device or FIFO under that name must never be opened, and a
  // symlink must never be followed.
  struct stat seen;
  UniqueFd fd;
  bool created = false;
  if (const int error = posix::Lstat(lockPath, &seen); error == 0) {
    if (posix::SameFile(seen, database)) return Outcome::kNoLockFile;
    if (!S_ISREG(seen.st_mode)) return fail(JetError(kJetErrCouldNotLock));
    fd = UniqueFd(posix::Open(lockPath, O_RDWR | O_NOFOLLOW));
    if (!fd.valid()) return errno == ENOENT ? Outcome::kRetry : failOpen(errno);
  } else if (error == ENOENT) {
    fd = UniqueFd(posix::Open(lockPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (!fd.valid()) return errno == EEXIST ? Outcome::kRetry : failOpen(errno);
    created = true;
    // Whoever may read the database may join it, and every joiner writes its record: the
    // new file may be written by whoever may read the database, whatever this umask says.
    const mode_t readers = database.st_mode & 0444;
    (void)posix::Fchmod(fd.get(), readers | readers >> 1 | 0600);
  } else {
    return failOpen(error);
  }

  struct stat opened;
  if (posix::Fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
    return fail(JetError(kJetErrCouldNotLock));
  if (!created && !posix::SameFile(opened, seen))
    return Outcome::kRetry;  // replaced since we looked
  if (posix::SameFile(opened, database)) return Outcome::kNoLockFile;
  std::string_view contents;
  if (!ReadLockFile(fd.get(), opened, &contents)) return fail(JetError(kJetErrCouldNotLock));

  // A file we created and cannot make ours (a full disk leaves it empty) is removed again,
  // unless someone joined it meanwhile: a write lock over all of it is granted only if nobody
  // else holds any part of it.
  const auto failCreated = [&](Status error) {
    struct stat now;
    if (created && posix::TryLock(fd.get(), F_WRLCK, posix::kWholeFile) == 0 &&
        posix::Lstat(lockPath, &now) == 0 && posix::SameFile(now, opened))
      (void)posix::Unlink(lockPath);
    return fail(std::move(error));
  };

  // Mark first, then the user lock, so that a user lock of ours is never seen without its
  // mark. A slot whose mark is held is another connection's of this engine; one whose
  // user lock is held is another engine's, and its record is not ours to touch.
  int claimed = -1;
  bool contended = false;
  const std::vector<int> candidates = CandidateSlots(contents);
  for (int candidate : candidates) {
    const ByteRange mark{Mark(candidate, recordLevel), 1};
    int error = posix::TryLock(databaseFd, F_WRLCK, mark);
    if (error == EBADF) error = posix::TryLock(databaseFd, F_RDLCK, mark);  // a read-only joiner
    if (error == EAGAIN) continue;
    if (error != 0) return failCreated(JetError(kJetErrCouldNotLock));
    const ByteRange userLock{UserLock(candidate), 1};
    error = posix::TryLock(fd.get(), F_WRLCK, userLock);
    if (error == 0) {
      claimed = candidate;
      break;
    }
    (void)posix::Unlock(databaseFd, mark);
    if (error != EAGAIN) return failCreated(JetError(kJetErrCouldNotLock));
    if (!contended) {
      contended = true;
      if (DeletionUnderWay(fd.get(), userLock.start)) return Outcome::kRetry;
    }
  }
  if (claimed < 0) {
    // Every slot is taken, unless a deletion began while we were looking.
    return DeletionUnderWay(fd.get(), UserLock(0)) ? Outcome::kRetry : Outcome::kFull;
  }

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
  if (posix::Lstat(lockPath, &now) != 0 || !posix::SameFile(now, opened))
    return giveUp(Outcome::kRetry);

  slot->emplace(LockFileSlot(lockPath, std::move(fd), opened, claimed));
  return Outcome::kClaimed;
}

void LockFileSlot::Leave(bool mayDelete) {
  if (!fd_.valid()) return;
  // Our record is cleared while the slot is still ours: once the user lock goes, another
  // engine may take the slot and write its own record there.
  const std::array<char, kRecordSize> zero{};
  (void)posix::WriteAt(fd_.get(), zero.data(), zero.size(), RecordRange(slot_).start);

  // A write lock over the whole file is granted only if no other description holds any
  // part of it: no connection of this engine or another, no Kill under way. Our own user
  // lock is simply widened, and closing drops it.
  if (mayDelete && posix::TryLock(fd_.get(), F_WRLCK, posix::kWholeFile) == 0) {
    struct stat now;
    if (posix::Lstat(path_, &now) == 0 && posix::SameFile(now, info_)) (void)posix::Unlink(path_);
  }
  fd_.reset();
}

}  // namespace quillet
