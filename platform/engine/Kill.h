#pragma once

#include <string>

#include "platform/engine/Status.h"

namespace quillet {

// Kill: deletes a file. Linux lets anyone unlink an open file, so this refuses (error 70,
// "Permission denied") a file on which a live connection holds a byte-range lock, as the
// Windows file system refuses a lock file that is in use.
Status Kill(const std::string& path);

}  // namespace quillet
