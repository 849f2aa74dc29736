#pragma once

#include <sys/types.h>

#include <algorithm>
#include <bitset>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/engine/LockProtocol.h"

namespace quillet {

// A byte-range lock (OFD or classic) that some open file description holds on a file.
struct HeldLock {
  static constexpr off_t kToEnd = std::numeric_limits<off_t>::max();
  bool write = false;
  off_t start = 0;
  off_t end = 0;  // one past the last byte; kToEnd: to the end of the file and beyond

  bool covers(off_t offset) const { return start <= offset && offset < end; }
  // A lock over all of a file: on a lock file, this engine's Kill or last leaver, there for
  // microseconds. Whatever lies beneath it stays hidden.
  bool wholeFile() const { return start == 0 && end == kToEnd; }
  // The bytes of [from, to) it covers: [first, second), empty when it covers none.
  std::pair<off_t, off_t> within(off_t from, off_t to) const {
    return {std::max(start, from), std::min(end, to)};
  }
  bool operator==(const HeldLock&) const = default;
};

// The first lock another description holds on `range` (length 0: to the end), as one
// F_OFD_GETLK reports it (reaching beyond the range, maybe); none if nothing is held there.
// This description's own locks never show. False if the query failed.
[[nodiscard]] bool FirstHeldLock(int fd, posix::ByteRange range, std::optional<HeldLock>* lock);

// The locks other descriptions hold on the open file, one at a time to visit(lock) until it
// returns false; each query reports one lock. First, on either side of `judged` (the bytes
// whose locks tell what the caller asks), one query finds one lock, if any, to stand for all
// of them there: that someone holds bytes there is all they tell. Within it the range is split
// around each lock found, 2k + 1 queries for the k locks there. So a file costs at most
// 2 * judged.length + 3 queries, however many locks it has. Locks that overlap one already
// found stay hidden. False if a query failed or visit stopped: the callers that stop on what
// they look for (a rival, another engine) answer as they do when nothing can be told.
template <typename Visit>
[[nodiscard]] bool ForEachHeldLock(int fd, posix::ByteRange judged, Visit visit) {
  const off_t judgedEnd = judged.length == 0 ? HeldLock::kToEnd : judged.end();
  std::optional<HeldLock> lock;
  const auto firstHeld = [&](off_t from, off_t to) {  // on [from, to), into `lock`
    return FirstHeldLock(fd, posix::ByteRange{from, to == HeldLock::kToEnd ? 0 : to - from}, &lock);
  };
  for (const auto& [from, to] :
       {std::pair{off_t{0}, judged.start}, {judgedEnd, HeldLock::kToEnd}}) {
    if (from >= to) continue;
    if (!firstHeld(from, to)) return false;
    if (lock && !visit(*lock)) return false;
  }
  std::vector<std::pair<off_t, off_t>> pending{{judged.start, judgedEnd}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    if (from >= to) continue;
    if (!firstHeld(from, to)) return false;
    if (!lock) continue;
    if (!visit(*lock)) return false;
    pending.emplace_back(from, std::clamp(lock->start, from, to));
    pending.emplace_back(std::clamp(lock->end, from, to), to);
  }
  return true;
}

// Sets in `slots` the user locks of a lock file that `lock` covers.
void AddUserLockSlots(const HeldLock& lock, std::bitset<lockmap::kSlots>* slots);

// Every lock ForEachHeldLock finds, in the order found. False if a query failed.
[[nodiscard]] bool QueryHeldLocks(int fd, posix::ByteRange judged, std::vector<HeldLock>* locks);

}  // namespace quillet
