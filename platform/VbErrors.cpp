#include "platform/VbErrors.h"

#include <sys/stat.h>

namespace quillet {

const char* VbErrorText(int32_t number) {
  switch (number) {
    case kErrInvalidProcedureCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrFileNotFound: return "File not found";
    case kErrDeviceIO: return "Device I/O error";
    case kErrDeviceUnavailable: return "Device unavailable";
    case kErrPermissionDenied: return "Permission denied";
    case kErrDiskNotReady: return "Disk not ready";
    case kErrPathFileAccess: return "Path/File access error";
    case kErrPathNotFound: return "Path not found";
    default: return nullptr;
  }
}

Status VbError(int32_t number) {
  const char* text = VbErrorText(number);
  return Status::Error(number, text != nullptr ? text : "");
}

Status MissingFileError(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat info;
  const bool folderExists = ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  return VbError(folderExists ? kErrFileNotFound : kErrPathNotFound);
}

}  // namespace quillet
