#include "platform/engine/LockFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/engine/JetErrors.h"
#include "platform/engine/OfdLock.h"

namespace quillet {

namespace {

constexpr off_t kMaxLockFileBytes = off_t{kLockFileSlots} * kLockRecordSize;
constexpr size_t kNameFieldSize = 32;
constexpr ByteRange kWholeFile{0, 0};

ByteRange SlotRange(int slot) { return ByteRange{off_t{slot} * kLockRecordSize, kLockRecordSize}; }

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsPermissionError(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::string ComputerName() {
  static const std::string name = [] {
    std::array<char, 256> buffer{};
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0) return std::string();
    return std::string(buffer.data());
  }();
  return name;
}

std::array<char, kLockRecordSize> MakeRecord(const std::string& user) {
  std::array<char, kLockRecordSize> record{};
  const std::string computer = ComputerName();
  std::memcpy(record.data(), computer.data(), std::min(computer.size(), kNameFieldSize));
  std::memcpy(record.data() + kNameFieldSize, user.data(), std::min(user.size(), kNameFieldSize));
  return record;
}

ssize_t ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  ssize_t got;
  do {
    got = ::pread(fd, buffer, size, offset);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool WriteAt(int fd, const void* buffer, size_t size, off_t offset) {
  ssize_t put;
  do {
    put = ::pwrite(fd, buffer, size, offset);
  } while (put < 0 && errno == EINTR);
  return put == static_cast<ssize_t>(size);
}

// The order in which to try slots: records that are all zero (left by a clean leaver) and
// slots beyond the end of the file first, since a live connection always has its record
// written; then the rest, whose records may be stale ones of crashed connections.
std::vector<int> CandidateSlots(int fd, off_t fileSize) {
  std::vector<char> contents(static_cast<size_t>(std::min(fileSize, kMaxLockFileBytes)));
  ssize_t got = contents.empty() ? 0 : ReadAt(fd, contents.data(), contents.size(), 0);
  if (got < 0) got = 0;

  std::vector<int> likelyFree;
  std::vector<int> stale;
  likelyFree.reserve(kLockFileSlots);
  for (int slot = 0; slot < kLockFileSlots; ++slot) {
    const off_t begin = off_t{slot} * kLockRecordSize;
    if (begin >= got) {
      likelyFree.push_back(slot);
      continue;
    }
    const off_t end = std::min<off_t>(begin + kLockRecordSize, got);
    bool zero = true;
    for (off_t i = begin; i < end && zero; ++i) zero = contents[static_cast<size_t>(i)] == 0;
    (zero ? likelyFree : stale).push_back(slot);
  }
  likelyFree.insert(likelyFree.end(), stale.begin(), stale.end());
  return likelyFree;
}

// Someone holds the whole file: a Kill (read lock) or a leaver deciding to delete it.
bool DeletionUnderWay(int fd, int slot) {
  LockHolder holder;
  if (TestLock(fd, F_WRLCK, SlotRange(slot), &holder) != 0) return false;
  return holder.held() && holder.range.start == 0 && holder.range.length == 0;
}

}  // namespace

std::string LockFilePath(const std::string& databasePath) {
  for (size_t position = databasePath.size(); position > 0; --position) {
    const char c = databasePath[position - 1];
    if (c == '/' || c == '\\') break;
    if (c == '.') return databasePath.substr(0, position - 1) + ".ldb";
  }
  return databasePath + ".ldb";
}

LockFileSlot::Outcome LockFileSlot::Claim(const std::string& lockPath,
                                          const std::string& databasePath,
                                          const struct stat& database, const std::string& user,
                                          std::optional<LockFileSlot>* slot, Status* status) {
  auto fail = [&](Status error) {
    *status = std::move(error);
    return Outcome::kFailed;
  };

  // Look before opening: a device or FIFO under that name must never be opened, and a
  // symlink must never be followed.
  struct stat seen;
  UniqueFd fd;
  bool created = false;
  if (::lstat(lockPath.c_str(), &seen) == 0) {
    if (SameFile(seen, database)) return Outcome::kNoLockFile;
    if (!S_ISREG(seen.st_mode)) return fail(CouldNotLockFile());
    fd = UniqueFd(::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT) return Outcome::kRetry;  // deleted since we looked
      if (IsPermissionError(errno)) return fail(CannotOpenFile(databasePath));
      return fail(CouldNotLockFile());
    }
  } else if (errno == ENOENT) {
    fd = UniqueFd(::open(lockPath.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                         0600));
    if (!fd.valid()) {
      if (errno == EEXIST) return Outcome::kRetry;  // something appeared since we looked
      if (IsPermissionError(errno)) return fail(CannotOpenFile(databasePath));
      return fail(CouldNotLockFile());
    }
    created = true;
    // Whoever may write the database may join it: give the new file the database's
    // permissions rather than what this process's umask leaves.
    (void)::fchmod(fd.get(), (database.st_mode & 0666) | 0600);
  } else {
    if (IsPermissionError(errno)) return fail(CannotOpenFile(databasePath));
    return fail(CouldNotLockFile());
  }

  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) return fail(CouldNotLockFile());
  if (!S_ISREG(opened.st_mode)) return fail(CouldNotLockFile());
  if (!created && !SameFile(opened, seen)) return Outcome::kRetry;  // replaced since we looked
  if (SameFile(opened, database)) return Outcome::kNoLockFile;

  int claimed = -1;
  bool contended = false;
  const std::vector<int> candidates = CandidateSlots(fd.get(), opened.st_size);
  for (int candidate : candidates) {
    const int error = TryLock(fd.get(), F_WRLCK, SlotRange(candidate));
    if (error == 0) {
      claimed = candidate;
      break;
    }
    if (error != EAGAIN) return fail(CouldNotLockFile());
    if (!contended) {
      contended = true;
      if (DeletionUnderWay(fd.get(), candidate)) return Outcome::kRetry;
    }
  }
  if (claimed < 0) {
    // Every slot is taken, unless a deletion began while we were looking.
    for (int candidate : candidates) {
      if (DeletionUnderWay(fd.get(), candidate)) return Outcome::kRetry;
    }
    return fail(CouldNotLockFile());
  }

  const auto record = MakeRecord(user);
  if (!WriteAt(fd.get(), record.data(), record.size(), SlotRange(claimed).start))
    return fail(CouldNotLockFile());

  // The slot is ours; make sure the file still is the lock file. If a Kill unlinked it
  // after we opened it, our slot is in a file nobody else will find.
  struct stat now;
  if (::lstat(lockPath.c_str(), &now) != 0 || !SameFile(now, opened)) return Outcome::kRetry;

  slot->emplace(LockFileSlot(lockPath, std::move(fd), opened.st_dev, opened.st_ino, claimed));
  return Outcome::kClaimed;
}

void LockFileSlot::Leave(bool mayDelete) {
  if (!fd_.valid()) return;
  const std::array<char, kLockRecordSize> zero{};
  (void)WriteAt(fd_.get(), zero.data(), zero.size(), SlotRange(slot_).start);

  // A write lock over the whole file is granted only if no other description holds any
  // part of it: no other connection's slot, no Kill under way. Our own slot lock is
  // simply widened.
  if (mayDelete && TryLock(fd_.get(), F_WRLCK, kWholeFile) == 0) {
    struct stat now;
    if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_)
      (void)::unlink(path_.c_str());
  }
  fd_.reset();
}

}  // namespace quillet
