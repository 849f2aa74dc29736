#pragma once

// A scan of whole folders: every database and every lock file whose database is missing under
// them, found by listing each folder once, then looked at by DatabaseScanner.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/engine/DatabaseScan.h"

namespace quillet {

// How far a scan of folders has got.
struct FolderScanProgress {
  size_t folders = 0;    // listed
  size_t databases = 0;  // found (orphan lock files too)
  size_t looked = 0;     // of those, looked at
};

// What the caller is told as the scan goes, on the calling thread.
struct FolderScanEvents {
  // A folder that could not be opened, or listed whole (what was listed of it is scanned): its
  // path and the errno.
  std::function<void(const std::string& folder, int error)> cannotRead;
  // Now and then, for a progress line.
  std::function<void(const FolderScanProgress&)> progress;
};

// What a scan of folders found, and how it went.
struct FolderScan {
  // In name order, each folder's own files before its subfolders; a folder named twice is
  // found twice. Those found absent are not to be reported.
  std::vector<DatabaseScan> databases;
  size_t folders = 0;            // listed, whole or in part
  size_t unreadableFolders = 0;  // named or inside, that could not be opened or listed whole
  bool everyNamedFolderOpened = true;
  bool foldersSkipped = false;    // a folder inside, or part of a listing, was left out
  bool otherOpenersRead = false;  // the other openers' source answered (OtherOpenersRead)

  // Whether someone is, or may be, in a database found, or in a folder left out.
  bool mayBeInUse() const;
};

// Walks `folders` and scans what it finds. A link named in `folders` is followed, as the user
// asked for that folder; no link inside them is, so a loop of them cannot trap the walk.
// Names are told by their extensions in any case: .mdb and .mde (sharing one .ldb), .accdb and
// .accde (sharing one .laccdb), and a lock file only where no database of its name is listed.
FolderScan ScanFolders(const std::vector<std::string>& folders,
                       const FolderScanEvents& events = {});

}  // namespace quillet
