#pragma once

#include <sys/types.h>

namespace quillet {

// Recognizes a Jet 3 or Jet 4 database (or workgroup) file by its header page: page type
// 0x00, the engine name at offset 4, the version byte at 0x14, and at least three whole
// pages. ACE (Access 2007+), MSISAM and anything else is not a Jet 4.0 database.
// Reads with pread only, so the file offset and the file itself are left untouched.
// Returns false for any file that does not qualify, including one that cannot be read.
bool IsJetDatabase(int fd, off_t fileSize);

}  // namespace quillet
