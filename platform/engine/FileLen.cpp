#include <sys/stat.h>

#include <string>

#include "platform/base/Posix.h"
#include "platform/base/VbErrors.h"
#include "platform/engine/FileLen.h"

namespace quillet {

Status FileLen(const std::string& path, int64_t* length) {
  // The C library would silently end the name at an embedded NUL and report on a
  // different file; Windows rejects such a name outright, and so do we.
  if (path.find('\0') != std::string::npos) return VbError(kErrBadFileName);
  if (path.empty()) return VbError(kErrFileNotFound);

  // stat, not open: it reads only the folder entry and the inode, so a FIFO, a device
  // or a file on which another process holds locks answers at once. It needs no read
  // permission on the file itself (only search permission on the folders above it),
  // which is why the length of a file nobody may read is still reported.
  struct stat info;
  if (const int error = posix::Stat(path, &info); error != 0) {
    switch (posix::Classify(error)) {
      case posix::Failure::kMissing:
        // Also a symbolic link whose target is missing: there is no file to measure.
        return MissingFileError(path);
      case posix::Failure::kBadPath: return VbError(kErrPathNotFound);
      case posix::Failure::kNameTooLong: return VbError(kErrBadFileName);
      default: return VbError(kErrPathFileAccess);
    }
  }
  // A folder, FIFO, socket or device has no file length of its own.
  if (!S_ISREG(info.st_mode)) return VbError(kErrPathFileAccess);
  if (length != nullptr) *length = static_cast<int64_t>(info.st_size);
  return Status::OK();
}

}  // namespace quillet
