// Kill, VB's file deletion, for the files this program deletes: lock files left behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/engine/OfdLock.h"
#include "platform/engine/UniqueFd.h"

namespace quillet {

namespace {

constexpr int kAttempts = 3;  // the file may be replaced between our looks; not forever

Status FromErrno(int error) {
  switch (error) {
    case ENOENT: return VbError(kErrFileNotFound);
    case ENOTDIR:
    case ELOOP: return VbError(kErrPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY: return VbError(kErrPermissionDenied);
    default: return VbError(kErrPathFileAccess);
  }
}

Status UnlinkEntry(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return Status::OK();
  return FromErrno(errno);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Status Kill(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return VbError(kErrFileNotFound);

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat seen;
    if (::lstat(path.c_str(), &seen) != 0) {
      return errno == ENOENT ? MissingFileError(path) : FromErrno(errno);
    }
    if (S_ISLNK(seen.st_mode)) return UnlinkEntry(path);  // the link itself, never its target
    if (!S_ISREG(seen.st_mode)) return VbError(kErrPathFileAccess);

    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT || errno == ELOOP) continue;  // changed since we looked
      return FromErrno(errno);
    }
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0) return VbError(kErrPathFileAccess);
    if (!SameFile(opened, seen)) continue;

    // Linux would unlink a file in use without a word. A connection holds a write lock on
    // its slot of a lock file (and read locks on a database): a read lock over the whole
    // file is refused while any slot is held, and, once granted, keeps new joiners from
    // claiming a slot until the file is gone.
    if (TryLock(fd.get(), F_RDLCK, ByteRange{0, 0}) != 0) return VbError(kErrPermissionDenied);
    LockHolder holder;
    if (TestLock(fd.get(), F_WRLCK, ByteRange{0, 0}, &holder) != 0 || holder.held())
      return VbError(kErrPermissionDenied);

    struct stat now;
    if (::lstat(path.c_str(), &now) != 0 || !SameFile(now, opened)) continue;
    return UnlinkEntry(path);  // the lock goes with the descriptor, after the unlink
  }
  return VbError(kErrPathFileAccess);
}

}  // namespace quillet
