#include "platform/engine/OtherOpeners.h"

#include <algorithm>
#include <mutex>

#include "platform/base/Posix.h"

namespace quillet {

namespace {

std::mutex mutex;
OtherOpenersSource& Source() {
  static OtherOpenersSource source;
  return source;
}

}  // namespace

void SetOtherOpenersSource(OtherOpenersSource source) {
  const std::lock_guard<std::mutex> lock(mutex);
  Source() = std::move(source);
}

OtherOpeners OtherOpenersOf(const struct stat& file) {
  OtherOpenersSource source;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    source = Source();
  }
  if (!source) return OtherOpeners{false, "nothing to ask", {}, {}};
  return source(file.st_dev, file.st_ino);
}

bool OtherOpenersRead() {
  const struct stat none {};
  return OtherOpenersOf(none).read;
}

bool OtherOpeners::holds(off_t offset) const {
  return std::any_of(locks.begin(), locks.end(),
                     [offset](const HeldLock& lock) { return lock.covers(offset); });
}

bool OthersHaveOpen(const struct stat& file) { return OtherOpenersOf(file).any(); }

bool OthersHaveOpen(int fd) {
  struct stat info;
  return fd >= 0 && posix::Fstat(fd, &info) == 0 && OtherOpenersOf(info).any();
}

}  // namespace quillet
