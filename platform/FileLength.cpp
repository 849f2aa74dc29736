#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/FileSystem.h"

namespace quillet {

namespace {

constexpr int32_t kErrBadFileName = 52;

Status FileNotFound() { return Status::Error(kErrFileNotFound, "File not found"); }
Status PathNotFound() { return Status::Error(kErrPathNotFound, "Path not found"); }
Status AccessError() { return Status::Error(kErrPathFileAccess, "Path/File access error"); }
Status BadFileName() { return Status::Error(kErrBadFileName, "Bad file name or number"); }

// The folder part of a path, "." for a bare name: the folder whose absence turns
// "File not found" into "Path not found".
std::string ParentOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Status FromMissingEntry(const std::string& path) {
  struct stat folder;
  if (::stat(ParentOf(path).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode)) {
    return FileNotFound();
  }
  return PathNotFound();
}

}  // namespace

Status FileLen(const std::string& path, int64_t* length) {
  // The C library would silently end the name at an embedded NUL and report on a
  // different file; Windows rejects such a name outright, and so do we.
  if (path.find('\0') != std::string::npos) return BadFileName();
  if (path.empty()) return FileNotFound();

  // stat, not open: it reads only the folder entry and the inode, so a FIFO, a device
  // or a file on which another process holds locks answers at once. It needs no read
  // permission on the file itself (only search permission on the folders above it),
  // which is why the length of a file nobody may read is still reported.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    switch (errno) {
      case ENOENT:
        // Also a symbolic link whose target is missing: there is no file to measure.
        return FromMissingEntry(path);
      case ENOTDIR:
        return PathNotFound();
      case ENAMETOOLONG:
        return BadFileName();
      default:  // EACCES, ELOOP, EIO, ...
        return AccessError();
    }
  }
  // A folder, FIFO, socket or device has no file length of its own.
  if (!S_ISREG(info.st_mode)) return AccessError();
  if (length != nullptr) *length = static_cast<int64_t>(info.st_size);
  return Status::OK();
}

}  // namespace quillet
