#include "platform/engine/Posix.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace quillet::posix {

namespace {

constexpr size_t kCalls = static_cast<size_t>(Call::kCount);

// Per call: the errno to fail with (0: none pending), how many calls may pass first, and
// whether it keeps failing.
struct Fault {
  std::atomic<int> error{0};
  std::atomic<int> after{0};
  std::atomic<bool> every{false};
};
std::array<Fault, kCalls> faults;
std::atomic<bool> anyFault{false};

// True (with errno set) when a test asked this call to fail now.
bool Injected(Call call) {
  if (!anyFault.load(std::memory_order_relaxed)) return false;
  Fault& fault = faults[static_cast<size_t>(call)];
  if (fault.error.load() == 0) return false;
  if (fault.every.load()) {
    errno = fault.error.load();
    return true;
  }
  if (fault.after.fetch_sub(1) > 0) return false;
  errno = fault.error.exchange(0);
  return errno != 0;
}

template <typename F>
auto Retrying(F call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

int ErrnoOf(int result) { return result == 0 ? 0 : errno; }

struct flock Describe(short type, ByteRange range) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = range.start;
  lock.l_len = range.length;
  lock.l_pid = 0;  // required by the OFD commands
  return lock;
}

}  // namespace

int Open(const std::string& path, int flags, mode_t mode) {
  return OpenAt(AT_FDCWD, path, flags, mode);
}

int OpenAt(int folderFd, const std::string& name, int flags, mode_t mode) {
  if (Injected(Call::kOpen)) return -1;
  int fd = Retrying([&] {
    return ::openat(folderFd, name.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
  });
  if (fd >= 0 && fd <= 2) {
    // A closed standard stream handed us its number: move off it, so that a later write
    // to that stream cannot reach this file.
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    errno = error;
    fd = moved;
  }
  return fd;
}

int Stat(const std::string& path, struct stat* info) {
  if (Injected(Call::kStat)) return errno;
  return ErrnoOf(Retrying([&] { return ::stat(path.c_str(), info); }));
}

int Lstat(const std::string& path, struct stat* info) {
  if (Injected(Call::kLstat)) return errno;
  return ErrnoOf(Retrying([&] { return ::lstat(path.c_str(), info); }));
}

int Fstat(int fd, struct stat* info) {
  if (Injected(Call::kFstat)) return errno;
  return ErrnoOf(Retrying([&] { return ::fstat(fd, info); }));
}

int Fstatfs(int fd, struct statfs* info) {
  if (Injected(Call::kFstatfs)) return errno;
  return ErrnoOf(Retrying([&] { return ::fstatfs(fd, info); }));
}

int Unlink(const std::string& path) {
  if (Injected(Call::kUnlink)) return errno;
  return ErrnoOf(Retrying([&] { return ::unlink(path.c_str()); }));
}

int Fchmod(int fd, mode_t mode) {
  if (Injected(Call::kFchmod)) return errno;
  return ErrnoOf(Retrying([&] { return ::fchmod(fd, mode); }));
}

ssize_t ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  if (Injected(Call::kRead)) return -1;
  return Retrying([&] { return ::pread(fd, buffer, size, offset); });
}

int WriteAt(int fd, const void* buffer, size_t size, off_t offset) {
  if (Injected(Call::kWrite)) return errno;
  const ssize_t put = Retrying([&] { return ::pwrite(fd, buffer, size, offset); });
  if (put < 0) return errno;
  return static_cast<size_t>(put) == size ? 0 : EIO;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Failure Classify(int error) {
  switch (error) {
    case ENOENT: return Failure::kMissing;
    case ENOTDIR:
    case ELOOP: return Failure::kBadPath;
    case ENAMETOOLONG: return Failure::kNameTooLong;
    case EISDIR: return Failure::kIsFolder;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY: return Failure::kDenied;
    default: return Failure::kOther;
  }
}

int TryLock(int fd, short type, ByteRange range) {
  if (Injected(Call::kLock)) return errno;
  struct flock lock = Describe(type, range);
  const int error = ErrnoOf(Retrying([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); }));
  return error == EACCES ? EAGAIN : error;  // POSIX allows either for "held elsewhere"
}

int Unlock(int fd, ByteRange range) {
  struct flock lock = Describe(F_UNLCK, range);
  return ErrnoOf(Retrying([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); }));
}

int TestLock(int fd, short type, ByteRange range, LockHolder* holder) {
  if (Injected(Call::kTestLock)) return errno;
  struct flock lock = Describe(type, range);
  const int error = ErrnoOf(Retrying([&] { return ::fcntl(fd, F_OFD_GETLK, &lock); }));
  if (error != 0) return error;
  holder->type = lock.l_type;
  holder->range = ByteRange{lock.l_start, lock.l_len};
  return 0;
}

void InjectFault(Call call, int error, int after) {
  Fault& fault = faults[static_cast<size_t>(call)];
  fault.every.store(after == kEveryCall);
  fault.after.store(after);
  fault.error.store(error);
  anyFault.store(true);
}

void ClearFaults() {
  for (Fault& fault : faults) fault.error.store(0);
  anyFault.store(false);
}

}  // namespace quillet::posix
