#include "platform/engine/HeldLocks.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>

#include "platform/engine/Posix.h"
#include "platform/engine/UniqueFd.h"

namespace quillet {

namespace {

template <typename Number>
bool ToNumber(std::string_view text, Number* number, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *number, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string_view NextField(std::string_view* rest) {
  const size_t start = rest->find_first_not_of(' ');
  if (start == std::string_view::npos) return *rest = {};
  rest->remove_prefix(start);
  const std::string_view field = rest->substr(0, rest->find(' '));
  rest->remove_prefix(field.size());
  return field;
}

// The inode of the first PID namespace, which the kernel numbers the same everywhere.
constexpr ino_t kFirstPidNamespace = 0xEFFFFFFC;

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

bool ParseProcLocksLine(std::string_view line, dev_t* device, ino_t* inode, HeldLock* lock) {
  std::string_view rest = line;
  const std::string_view id = NextField(&rest);
  const std::string_view kind = NextField(&rest);
  if (id.empty() || id.back() != ':' || (kind != "POSIX" && kind != "OFDLCK")) return false;
  NextField(&rest);  // ADVISORY or MANDATORY
  const std::string_view type = NextField(&rest);
  NextField(&rest);  // the PID, -1 for an OFD lock
  std::string_view file = NextField(&rest);
  const std::string_view start = NextField(&rest);
  const std::string_view end = NextField(&rest);
  if (type != "READ" && type != "WRITE") return false;

  const size_t first = file.find(':');
  const size_t second = file.find(':', first + 1);
  unsigned major = 0;
  unsigned minor = 0;
  unsigned long long number = 0;
  if (second == std::string_view::npos || !ToNumber(file.substr(0, first), &major, 16) ||
      !ToNumber(file.substr(first + 1, second - first - 1), &minor, 16) ||
      !ToNumber(file.substr(second + 1), &number))
    return false;
  long long from = 0;
  long long last = 0;
  if (!ToNumber(start, &from) || (end != "EOF" && !ToNumber(end, &last))) return false;
  *device = makedev(major, minor);
  *inode = static_cast<ino_t>(number);
  *lock = HeldLock{type == "WRITE", static_cast<off_t>(from),
                   end == "EOF" ? HeldLock::kToEnd : static_cast<off_t>(last) + 1};
  return true;
}

bool LockSnapshot::Read() {
  locks_.clear();
  const UniqueFd fd(posix::Open("/proc/locks", O_RDONLY));
  if (!fd.valid()) return false;
  std::string text;
  std::string buffer(65536, '\0');
  size_t lines = 0;
  for (;;) {
    const ssize_t got =
        posix::ReadAt(fd.get(), buffer.data(), buffer.size(), static_cast<off_t>(text.size()));
    if (got < 0) return false;
    if (got == 0) break;
    lines += static_cast<size_t>(std::count(buffer.begin(), buffer.begin() + got, '\n'));
    if (lines > kMaxLines) return false;
    text.append(buffer.data(), static_cast<size_t>(got));
  }
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    FileKey key{};
    HeldLock lock;
    if (ParseProcLocksLine(line, &key.device, &key.inode, &lock)) locks_[key].push_back(lock);
  }
  return true;
}

const std::vector<HeldLock>& LockSnapshot::Of(dev_t device, ino_t inode) const {
  static const std::vector<HeldLock> none;
  const auto found = locks_.find(FileKey{device, inode});
  return found == locks_.end() ? none : found->second;
}

bool LockSnapshot::ListsLocksOf(const MountLocks& mount) {
  static const bool firstNamespace = [] {
    struct stat info;
    return posix::Stat("/proc/self/ns/pid", &info) == 0 && info.st_ino == kFirstPidNamespace;
  }();
  constexpr std::string_view kPlainInodes[] = {"ext2",  "ext3",  "ext4", "xfs",
                                               "btrfs", "tmpfs", "f2fs", "zfs"};
  return firstNamespace && mount.reach == LockReach::kLocal && mount.deviceListed &&
         std::find(std::begin(kPlainInodes), std::end(kPlainInodes), mount.filesystem) !=
             std::end(kPlainInodes);
}

}  // namespace quillet
