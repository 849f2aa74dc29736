#include "platform/engine/HeldLocks.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/base/Posix.h"

namespace quillet {

namespace {

// The first lock another description holds on [from, to), as F_OFD_GETLK reports it (reaching
// beyond the range, maybe); none if nothing is held there. False if the query failed.
bool FirstHeld(int fd, off_t from, off_t to, std::optional<HeldLock>* lock) {
  posix::LockHolder holder;
  const posix::ByteRange range{from, to == HeldLock::kToEnd ? 0 : to - from};
  if (posix::TestLock(fd, F_WRLCK, range, &holder) != 0) return false;
  lock->reset();
  if (holder.held()) {
    *lock = HeldLock{holder.type == F_WRLCK, holder.range.start,
                     holder.range.length == 0 ? HeldLock::kToEnd : holder.range.end()};
  }
  return true;
}

}  // namespace

bool QueryHeldLocks(int fd, posix::ByteRange judged, std::vector<HeldLock>* locks) {
  locks->clear();
  const off_t judgedEnd = judged.length == 0 ? HeldLock::kToEnd : judged.end();
  std::optional<HeldLock> lock;
  for (const auto& [from, to] :
       {std::pair{off_t{0}, judged.start}, {judgedEnd, HeldLock::kToEnd}}) {
    if (from >= to) continue;
    if (!FirstHeld(fd, from, to, &lock)) return false;
    if (lock) locks->push_back(*lock);
  }
  std::vector<std::pair<off_t, off_t>> pending{{judged.start, judgedEnd}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    if (from >= to) continue;
    if (!FirstHeld(fd, from, to, &lock)) return false;
    if (!lock) continue;
    locks->push_back(*lock);
    pending.emplace_back(from, std::clamp(lock->start, from, to));
    pending.emplace_back(std::clamp(lock->end, from, to), to);
  }
  return true;
}

}  // namespace quillet
