#include "platform/engine/OfdLock.h"

#include <cerrno>
#include <cstring>

namespace quillet {

namespace {

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

int Command(int fd, int command, struct flock* lock) {
  int result;
  do {
    result = ::fcntl(fd, command, lock);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

}  // namespace

int TryLock(int fd, short type, ByteRange range) {
  struct flock lock = Describe(type, range);
  const int error = Command(fd, F_OFD_SETLK, &lock);
  return error == EACCES ? EAGAIN : error;  // POSIX allows either for "held elsewhere"
}

int Unlock(int fd, ByteRange range) {
  struct flock lock = Describe(F_UNLCK, range);
  return Command(fd, F_OFD_SETLK, &lock);
}

int TestLock(int fd, short type, ByteRange range, LockHolder* holder) {
  struct flock lock = Describe(type, range);
  const int error = Command(fd, F_OFD_GETLK, &lock);
  if (error != 0) return error;
  holder->type = lock.l_type;
  holder->range = ByteRange{lock.l_start, lock.l_len};
  return 0;
}

}  // namespace quillet
