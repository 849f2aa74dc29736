#pragma once

#include <cstdint>
#include <string>

#include "platform/Status.h"
#include "platform/VbErrors.h"

namespace quillet {

// FileLen: the length of the regular file at path. Never opens the file, so a FIFO or a
// device cannot block it; anything that is not a regular file is an error.
Status FileLen(const std::string& path, int64_t* length);

// Kill: deletes a file. Linux lets anyone unlink an open file, so this refuses (error 70,
// "Permission denied") a file on which a live connection holds a byte-range lock, as the
// Windows file system refuses a lock file that is in use.
Status Kill(const std::string& path);

}  // namespace quillet
