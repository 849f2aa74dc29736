#pragma once

#include <sys/types.h>

#include <string_view>

namespace quillet {

// Recognizes a Jet 3 or Jet 4 database (or workgroup) file by its header page: page type
// 0x00, the engine name at offset 4, the version byte at 0x14, and at least three whole
// pages. ACE (Access 2007+), MSISAM and anything else is not a Jet 4.0 database.
// Reads with pread only, so the file offset and the file itself are left untouched.
// Returns false for any file that does not qualify, including one that cannot be read.
bool IsJetDatabase(int fd, off_t fileSize);

// Whether a name is a Jet database's: it ends in .mdb or .mde (any case). The engine opens a
// database whatever its name; a scan, looking for databases, goes by it.
bool IsJetDatabaseName(std::string_view path);
inline constexpr std::string_view kJetDatabaseExtensions[] = {".mdb", ".mde"};

}  // namespace quillet
