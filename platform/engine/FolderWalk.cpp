#include "platform/engine/FolderWalk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/AccessFiles.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/OtherOpeners.h"

namespace quillet {

namespace {

using posix::FolderEntry;

bool NamedLikeDatabase(const std::string& name) {
  return IsJetDatabaseName(name) || IsAccessDatabaseName(name);
}

bool NamedLikeLockFile(const std::string& name) {
  return IsLockFileName(name) || IsAccessLockFileName(name);
}

// x.mdb and x.mde share x.ldb, x.accdb and x.accde share x.laccdb.
std::string LockFileName(const std::string& database) {
  return IsAccessDatabaseName(database) ? AccessLockFilePath(database) : LockFilePath(database);
}

bool ByName(const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; }

// The folders' walk, which fills in a FolderScan's databases and its counts.
class Walk {
 public:
  Walk(const FolderScanEvents& events, FolderScan* scan) : events_(events), scan_(scan) {}

  void add(const std::string& folder) {
    const UniqueFd fd(posix::Open(folder, O_RDONLY | O_DIRECTORY));
    if (!fd.valid()) {
      cannotRead(folder, errno);
      scan_->everyNamedFolderOpened = false;
      return;
    }
    walk(fd.get(), folder);
  }

 private:
  void cannotRead(const std::string& path, int error) {
    ++scan_->unreadableFolders;
    if (events_.cannotRead) events_.cannotRead(path, error);
  }

  // The entries of the folder open as `fd`, in name order, each with its type; whether the
  // listing was whole (what a listing cut short gave is kept).
  bool listWhole(int fd, const std::string& path, std::vector<FolderEntry>* entries) {
    const int error = posix::ListFolder(fd, entries);
    if (error != 0) cannotRead(path, error);
    std::sort(entries->begin(), entries->end(), ByName);
    for (FolderEntry& entry : *entries) {
      struct stat info;
      if (entry.type == DT_UNKNOWN && posix::StatAt(fd, entry.name, &info) == 0)
        entry.type = IFTODT(info.st_mode);
    }
    return error == 0;
  }

  // Adds the databases among `entries`, and the lock files whose database is not among them.
  // A lock file is looked for only where it was listed, unless the listing was cut short.
  void addFound(const std::vector<FolderEntry>& entries, const std::string& prefix, bool whole) {
    std::vector<std::string> lockFilesOfDatabases;
    for (const FolderEntry& entry : entries) {
      if (entry.type != DT_DIR && entry.type != DT_LNK && NamedLikeDatabase(entry.name))
        lockFilesOfDatabases.push_back(LockFileName(entry.name));
    }
    std::sort(lockFilesOfDatabases.begin(), lockFilesOfDatabases.end());
    const auto listed = [&](const std::string& name) {
      return std::binary_search(entries.begin(), entries.end(), FolderEntry{name}, ByName);
    };
    for (const FolderEntry& entry : entries) {
      DatabaseScan found;
      found.path = prefix + entry.name;
      if (entry.type != DT_DIR && entry.type != DT_LNK && NamedLikeDatabase(entry.name)) {
        found.lockFileListed = !whole || listed(LockFileName(entry.name));
        found.access = IsAccessDatabaseName(entry.name);
      } else if (entry.type == DT_REG && NamedLikeLockFile(entry.name) &&
                 !std::binary_search(lockFilesOfDatabases.begin(), lockFilesOfDatabases.end(),
                                     entry.name)) {
        found.orphanLockFile = true;
        found.access = IsAccessLockFileName(entry.name);
      } else {
        continue;
      }
      scan_->databases.push_back(std::move(found));
    }
  }

  // Walks the folder open as `fd`; what cannot be read of it is told and left out.
  void walk(int fd, const std::string& path) {
    ++scan_->folders;
    std::vector<FolderEntry> entries;
    const bool whole = listWhole(fd, path, &entries);
    const std::string prefix = path.ends_with('/') ? path : path + '/';
    addFound(entries, prefix, whole);
    if (events_.progress) events_.progress({scan_->folders, scan_->databases.size(), 0});

    for (const FolderEntry& entry : entries) {
      if (entry.type != DT_DIR) continue;
      const UniqueFd child(posix::OpenAt(fd, entry.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
      if (child.valid()) {
        walk(child.get(), prefix + entry.name);
      } else {
        cannotRead(prefix + entry.name, errno);
        scan_->foldersSkipped = true;
      }
    }
    scan_->foldersSkipped = scan_->foldersSkipped || !whole;
  }

  const FolderScanEvents& events_;
  FolderScan* scan_;
};

}  // namespace

bool FolderScan::mayBeInUse() const {
  return foldersSkipped || std::any_of(databases.begin(), databases.end(), [](const auto& scan) {
           return !scan.absent && scan.mayBeInUse();
         });
}

FolderScan ScanFolders(const std::vector<std::string>& folders, const FolderScanEvents& events) {
  FolderScan scan;
  Walk walk(events, &scan);
  for (const std::string& folder : folders) walk.add(folder);
  DatabaseScanner().Scan(&scan.databases, [&](size_t looked) {
    if (events.progress) events.progress({scan.folders, scan.databases.size(), looked});
  });
  scan.otherOpenersRead = OtherOpenersRead();
  return scan;
}

}  // namespace quillet
