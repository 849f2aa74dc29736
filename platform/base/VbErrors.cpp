#include "platform/base/VbErrors.h"

#include <sys/stat.h>

#include "platform/base/ErrorTexts.h"
#include "platform/base/PathNames.h"
#include "platform/base/Posix.h"

namespace quillet {

namespace {

constexpr ErrorText kVbErrors[] = {
    {kErrInvalidProcedureCall, "Invalid procedure call or argument"},
    {kErrOverflow, "Overflow"},
    {kErrBadFileName, "Bad file name or number"},
    {kErrFileNotFound, "File not found"},
    {kErrDeviceIO, "Device I/O error"},
    {kErrTooManyFiles, "Too many files"},
    {kErrDeviceUnavailable, "Device unavailable"},
    {kErrPermissionDenied, "Permission denied"},
    {kErrDiskNotReady, "Disk not ready"},
    {kErrPathFileAccess, "Path/File access error"},
    {kErrPathNotFound, "Path not found"},
};

}  // namespace

const char* VbErrorText(int32_t number) { return FindErrorText(kVbErrors, number); }

Status VbError(int32_t number) {
  const char* text = VbErrorText(number);
  return Status::Error(ErrorSource::kVbRuntime, number, text != nullptr ? text : "");
}

Status MissingFileError(const std::string& path) {
  struct stat info;
  const bool folderExists = posix::Stat(ParentFolder(path), &info) == 0 && S_ISDIR(info.st_mode);
  return VbError(folderExists ? kErrFileNotFound : kErrPathNotFound);
}

}  // namespace quillet
