#include "platform/engine/OtherOpeners.h"

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
  if (!source) return OtherOpeners{false, "nothing to ask", {}};
  return source(file.st_dev, file.st_ino);
}

bool OthersHaveOpen(const struct stat& file) { return !OtherOpenersOf(file).openers.empty(); }

bool OthersHaveOpen(int fd) {
  struct stat info;
  return fd >= 0 && posix::Fstat(fd, &info) == 0 && !OtherOpenersOf(info).openers.empty();
}

}  // namespace quillet
