#pragma once

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/base/Posix.h"

namespace quillet {

// Calls visit(begin, end) for runs of bytes in [begin, end) on which another description
// holds a lock, until visit returns false. F_OFD_GETLK reports one conflicting lock at a
// time, so the range is split around each one found: 2k + 1 tests for k locks. Returns
// false if a test failed or a whole-file lock (a Kill or a last leaver of this engine,
// there for microseconds) hides whatever lies beneath it: then nothing can be told.
template <typename Visit>
[[nodiscard]] bool ForEachHeldRun(int fd, off_t begin, off_t end, Visit visit) {
  std::vector<std::pair<off_t, off_t>> pending{{begin, end}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    if (from >= to) continue;
    posix::LockHolder holder;
    if (posix::TestLock(fd, F_WRLCK, posix::ByteRange{from, to - from}, &holder) != 0) return false;
    if (!holder.held()) continue;
    if (holder.wholeFile()) return false;
    const off_t heldFrom = std::max(from, holder.range.start);
    const off_t heldTo = holder.range.length == 0 ? to : std::min(to, holder.range.end());
    if (!visit(heldFrom, heldTo)) return true;
    pending.emplace_back(from, heldFrom);
    pending.emplace_back(heldTo, to);
  }
  return true;
}

}  // namespace quillet
