#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>

namespace quillet {

// Thin wrappers over Linux open-file-description locks. They belong to the open file
// description, not to the process: two connections of one process never share or drop
// each other's locks, and the kernel releases them when the last descriptor closes or the
// process dies. Never classic F_SETLK (any close() of the file would drop all of the
// process's locks) and never flock (no byte ranges).

struct ByteRange {
  off_t start = 0;
  off_t length = 0;  // 0: to the end of the file and beyond
};

// Takes (or converts to) a read or write lock without waiting. Returns 0, or the errno:
// EAGAIN when another description holds a conflicting lock.
int TryLock(int fd, short type, ByteRange range);
int Unlock(int fd, ByteRange range);

// What another description holds that would conflict with a lock of `type` on `range`.
// Our own description's locks never show. l_type is F_UNLCK when nothing conflicts.
struct LockHolder {
  short type = F_UNLCK;
  ByteRange range;
  bool held() const { return type != F_UNLCK; }
};
// Returns 0 and fills `holder`, or the errno.
int TestLock(int fd, short type, ByteRange range, LockHolder* holder);

}  // namespace quillet
