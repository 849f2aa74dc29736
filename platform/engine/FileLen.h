#pragma once

#include <cstdint>
#include <string>

#include "platform/base/Status.h"

namespace quillet {

// FileLen: the length of the regular file at path. Never opens the file, so a FIFO or a
// device cannot block it; anything that is not a regular file is an error.
Status FileLen(const std::string& path, int64_t* length);

}  // namespace quillet
