// Kill, VB's file deletion, for the files this program deletes: lock files left behind.

#include <cerrno>
#include <filesystem>

#include "platform/engine/AsciiCase.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/Posix.h"
#include "platform/engine/UniqueFd.h"
#include "platform/engine/VbErrors.h"

namespace quillet {

namespace {

constexpr int kAttempts = 3;  // the file may be replaced between our looks; not forever

bool IsJetExtension(const std::string& extension) {
  return EqualsIgnoringAsciiCase(extension, ".mdb") || EqualsIgnoringAsciiCase(extension, ".mde");
}

Status FromErrno(int error) {
  switch (posix::Classify(error)) {
    case posix::Failure::kMissing: return VbError(kErrFileNotFound);
    case posix::Failure::kBadPath: return VbError(kErrPathNotFound);
    case posix::Failure::kDenied: return VbError(kErrPermissionDenied);
    default: return VbError(kErrPathFileAccess);
  }
}

// Whether a server here says anyone has the lock file at `path` open, or a database beside
// it that it would belong to (the same name, a Jet extension in any case). The folder is
// read only where the server could be asked at all.
bool OpenToOthers(const std::string& path, const struct stat& info) {
  const OtherOpeners lockFile = OtherOpenersOf(info);
  if (!lockFile.openers.empty()) return true;
  if (!lockFile.read) return false;
  const std::filesystem::path lock(path);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(
           lock.parent_path().empty() ? "." : lock.parent_path(), error)) {
    const std::filesystem::path& name = entry.path();
    struct stat database;
    if (name.stem() == lock.stem() && IsJetExtension(name.extension().string()) &&
        posix::Stat(name.string(), &database) == 0 && !OtherOpenersOf(database).openers.empty())
      return true;
  }
  return false;
}

Status UnlinkEntry(const std::string& path) {
  const int error = posix::Unlink(path);
  return error == 0 ? Status::OK() : FromErrno(error);
}

}  // namespace

Status Kill(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return VbError(kErrFileNotFound);

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat seen;
    if (const int error = posix::Lstat(path, &seen); error != 0) {
      return error == ENOENT ? MissingFileError(path) : FromErrno(error);
    }
    if (S_ISLNK(seen.st_mode)) return UnlinkEntry(path);  // the link itself, never its target
    if (!S_ISREG(seen.st_mode)) return VbError(kErrPathFileAccess);

    UniqueFd fd(posix::Open(path, O_RDONLY | O_NOFOLLOW));
    if (!fd.valid()) {
      if (errno == ENOENT || errno == ELOOP) continue;  // changed since we looked
      return FromErrno(errno);
    }
    struct stat opened;
    if (posix::Fstat(fd.get(), &opened) != 0) return VbError(kErrPathFileAccess);
    if (!posix::SameFile(opened, seen)) continue;

    // Where locks stay on this computer, a workstation elsewhere may hold this file with
    // locks nobody here can see: it is never ours to delete.
    if (!LocksOf(fd.get()).seen()) return VbError(kErrPermissionDenied);
    // Nor while a client of a Samba server here has it, or its database, open without a
    // lock to show it.
    if (OpenToOthers(path, opened)) return VbError(kErrPermissionDenied);
    // Linux would unlink a file in use without a word: refuse while anyone holds any lock
    // on it, and keep joiners out until it is gone ("The Kill race", LockProtocol.h).
    if (posix::TryLock(fd.get(), F_RDLCK, posix::kWholeFile) != 0)
      return VbError(kErrPermissionDenied);
    posix::LockHolder holder;
    if (posix::TestLock(fd.get(), F_WRLCK, posix::kWholeFile, &holder) != 0 || holder.held())
      return VbError(kErrPermissionDenied);
    // What cannot be a lock file (a database, a document, a second name of one) is
    // somebody's data, whatever it is called.
    if (!CanBeLockFile(fd.get(), opened)) return VbError(kErrPathFileAccess);

    struct stat now;
    if (posix::Lstat(path, &now) != 0 || !posix::SameFile(now, opened)) continue;
    return UnlinkEntry(path);  // the lock goes with the descriptor, after the unlink
  }
  return VbError(kErrPathFileAccess);
}

}  // namespace quillet
