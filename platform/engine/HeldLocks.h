#pragma once

#include <sys/types.h>

#include <limits>
#include <vector>

#include "platform/base/Posix.h"

namespace quillet {

// A byte-range lock (OFD or classic) that some open file description holds on a file.
struct HeldLock {
  static constexpr off_t kToEnd = std::numeric_limits<off_t>::max();
  bool write = false;
  off_t start = 0;
  off_t end = 0;  // one past the last byte; kToEnd: to the end of the file and beyond

  bool covers(off_t offset) const { return start <= offset && offset < end; }
  bool operator==(const HeldLock&) const = default;
};

// The locks other descriptions hold on the open file, from its own F_OFD_GETLK queries, each
// of which reports one lock. Within `judged` (the few hundred bytes whose locks tell who is
// in) the file is split around each lock found, 2k + 1 queries for the k locks there; on either
// side of it one query finds one lock, if any, to stand for all of them there: they can only
// be another engine's. So a file costs at most 2 * judged.length + 3 queries, however many
// locks it has. Locks that overlap one already found stay hidden. False if a query failed.
[[nodiscard]] bool QueryHeldLocks(int fd, posix::ByteRange judged, std::vector<HeldLock>* locks);

}  // namespace quillet
