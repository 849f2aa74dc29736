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

Status FileNotFound() { return Status::Error(kErrFileNotFound, "File not found"); }
Status PermissionDenied() { return Status::Error(kErrPermissionDenied, "Permission denied"); }
Status PathFileAccess() { return Status::Error(kErrPathFileAccess, "Path/File access error"); }
Status PathNotFound() { return Status::Error(kErrPathNotFound, "Path not found"); }

Status FromErrno(int error) {
  switch (error) {
    case ENOENT: return FileNotFound();
    case ENOTDIR:
    case ELOOP: return PathNotFound();
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY: return PermissionDenied();
    default: return PathFileAccess();
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
  if (path.empty() || path.find('\0') != std::string::npos) return FileNotFound();

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat seen;
    if (::lstat(path.c_str(), &seen) != 0) {
      if (errno != ENOENT) return FromErrno(errno);
      // A missing file in a missing folder is a missing path.
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos) return FileNotFound();
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      struct stat info;
      return ::stat(folder.c_str(), &info) == 0 ? FileNotFound() : PathNotFound();
    }
    if (S_ISLNK(seen.st_mode)) return UnlinkEntry(path);  // the link itself, never its target
    if (!S_ISREG(seen.st_mode)) return PathFileAccess();

    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT || errno == ELOOP) continue;  // changed since we looked
      return FromErrno(errno);
    }
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0) return PathFileAccess();
    if (!SameFile(opened, seen)) continue;

    // Linux would unlink a file in use without a word. A connection holds a write lock on
    // its slot of a lock file (and read locks on a database): a read lock over the whole
    // file is refused while any slot is held, and, once granted, keeps new joiners from
    // claiming a slot until the file is gone.
    if (TryLock(fd.get(), F_RDLCK, ByteRange{0, 0}) != 0) return PermissionDenied();
    LockHolder holder;
    if (TestLock(fd.get(), F_WRLCK, ByteRange{0, 0}, &holder) != 0 || holder.held())
      return PermissionDenied();

    struct stat now;
    if (::lstat(path.c_str(), &now) != 0 || !SameFile(now, opened)) continue;
    return UnlinkEntry(path);  // the lock goes with the descriptor, after the unlink
  }
  return PathFileAccess();
}

}  // namespace quillet
