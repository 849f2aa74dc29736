#include "platform/engine/HeldLocks.h"

namespace quillet {

bool FirstHeldLock(int fd, posix::ByteRange range, std::optional<HeldLock>* lock) {
  posix::LockHolder holder;
  if (posix::TestLock(fd, F_WRLCK, range, &holder) != 0) return false;
  lock->reset();
  if (holder.held()) {
    *lock = HeldLock{holder.type == F_WRLCK, holder.range.start,
                     holder.range.length == 0 ? HeldLock::kToEnd : holder.range.end()};
  }
  return true;
}

bool QueryHeldLocks(int fd, posix::ByteRange judged, std::vector<HeldLock>* locks) {
  locks->clear();
  return ForEachHeldLock(fd, judged, [locks](const HeldLock& lock) {
    locks->push_back(lock);
    return true;
  });
}

void AddUserLockSlots(const HeldLock& lock, std::bitset<lockmap::kSlots>* slots) {
  const auto [first, end] = lock.within(lockmap::UserLock(0), lockmap::UserLock(lockmap::kSlots));
  for (off_t at = first; at < end; ++at)
    slots->set(static_cast<size_t>(lockmap::SlotOfUserLock(at)));
}

}  // namespace quillet
