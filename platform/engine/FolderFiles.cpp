#include "platform/engine/FolderFiles.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/base/Posix.h"

namespace quillet {

FolderOf::FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  name_ = LastName(path);
  folder_ = UniqueFd(posix::Open(folder, O_PATH | O_DIRECTORY));
  error_ = folder_.valid() ? 0 : errno;
}

LookedAt LookAt(const NameAt& file, bool followLink) {
  LookedAt looked;
  looked.handle =
      UniqueFd(posix::OpenAt(file.folder, file.name, O_PATH | (followLink ? 0 : O_NOFOLLOW)));
  if (!looked.handle.valid()) {
    looked.error = errno;
  } else if (const int error = posix::Fstat(looked.handle.get(), &looked.info); error != 0) {
    looked.error = error;
    looked.handle.reset();
  }
  return looked;
}

UniqueFd OpenLooked(const LookedAt& looked, int flags) {
  return UniqueFd(posix::Reopen(looked.handle.get(), flags));
}

OpenedAt OpenRegularAt(const NameAt& file, int flags) {
  OpenedAt opened;
  if (const int error = posix::StatAt(file.folder, file.name, &opened.info); error != 0) {
    opened.error = error;
    return opened;
  }
  if (!S_ISREG(opened.info.st_mode)) {
    opened.error = kNotRegular;
    return opened;
  }
  opened.fd = UniqueFd(posix::OpenAt(file.folder, file.name, flags | O_NOFOLLOW));
  if (!opened.fd.valid()) {
    opened.error = errno;
  } else if (const int error = posix::Fstat(opened.fd.get(), &opened.info); error != 0) {
    opened.error = error;
  } else if (!S_ISREG(opened.info.st_mode)) {
    opened.error = kNotRegular;
  }
  if (opened.error != 0) opened.fd.reset();
  return opened;
}

int UnlinkIfStill(const NameAt& file, const struct stat& examined) {
  struct stat now;
  if (const int error = posix::StatAt(file.folder, file.name, &now); error != 0) return error;
  if (!posix::SameFile(now, examined)) return kReplaced;
  return posix::UnlinkAt(file.folder, file.name);
}

Creation MayCreateIn(int folderFd) {
  struct stat folder;
  if (const int error = posix::Fstat(folderFd, &folder); error != 0) return Creation{error};
  if (folder.st_uid == 0 || folder.st_uid == posix::EffectiveUid()) return Creation{};
  constexpr mode_t kWriteAndEnter = S_IWUSR | S_IXUSR;
  if ((folder.st_mode & kWriteAndEnter) != kWriteAndEnter) return Creation{EACCES};
  return Creation{.handOver = true, .owner = folder.st_uid, .group = folder.st_gid};
}

std::string LastName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "." : name;
}

}  // namespace quillet
