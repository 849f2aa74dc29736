#pragma once

#include <cstdint>
#include <string>

#include "platform/base/Status.h"

namespace quillet {

// VB runtime error numbers for the file and argument errors a user can meet.
inline constexpr int32_t kErrInvalidProcedureCall = 5;
inline constexpr int32_t kErrOverflow = 6;
inline constexpr int32_t kErrBadFileName = 52;
inline constexpr int32_t kErrFileNotFound = 53;
inline constexpr int32_t kErrDeviceIO = 57;
inline constexpr int32_t kErrTooManyFiles = 67;
inline constexpr int32_t kErrDeviceUnavailable = 68;
inline constexpr int32_t kErrPermissionDenied = 70;
inline constexpr int32_t kErrDiskNotReady = 71;
inline constexpr int32_t kErrPathFileAccess = 75;
inline constexpr int32_t kErrPathNotFound = 76;

// The runtime's text for one of the numbers above, or nullptr for any other number.
const char* VbErrorText(int32_t number);

// A failure with one of the numbers above and its text.
Status VbError(int32_t number);

// Why a path names nothing: "File not found" when the folder above it exists, "Path not
// found" when the folder itself is missing.
Status MissingFileError(const std::string& path);

}  // namespace quillet
