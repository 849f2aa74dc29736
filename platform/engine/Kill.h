#pragma once

#include <string>

#include "platform/base/Status.h"
#include "platform/engine/FolderFiles.h"

namespace quillet {

// Kill: deletes a file. Linux lets anyone unlink an open file, so this refuses (error 70,
// "Permission denied") a file on which a live connection holds a byte-range lock, as the
// Windows file system refuses a lock file that is in use.
// The name is looked up in its folder once; whatever is examined is what is deleted.
Status Kill(const std::string& path);
// The same for a name in a folder opened already (the lock file beside a database), reached
// by `path`: the path asks which Samba share here serves it, nothing else.
Status Kill(const NameAt& file, const std::string& path);

}  // namespace quillet
