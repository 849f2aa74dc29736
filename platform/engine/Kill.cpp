// Kill, VB's file deletion, for the files this program deletes: lock files left behind.

#include "platform/engine/Kill.h"

#include <cerrno>

#include "platform/base/AsciiCase.h"
#include "platform/base/PathNames.h"
#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/base/VbErrors.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/SambaServing.h"

namespace quillet {

namespace {

constexpr int kAttempts = 3;  // the file may be replaced between our looks; not forever

Status FromErrno(int error) {
  switch (posix::Classify(error)) {
    case posix::Failure::kMissing: return VbError(kErrFileNotFound);
    case posix::Failure::kBadPath: return VbError(kErrPathNotFound);
    case posix::Failure::kDenied: return VbError(kErrPermissionDenied);
    case posix::Failure::kTooManyOpen: return VbError(kErrTooManyFiles);
    default: return VbError(kErrPathFileAccess);
  }
}

// Whether a server here says anyone has the lock file open, or a database beside it that
// it would belong to (the same name, a Jet extension in any case: .mdb, .MDB, .mDe, ...).
// The folder is looked in only where the server could be asked at all.
bool OpenToOthers(const NameAt& lockFile, const struct stat& info) {
  const OtherOpeners lockOpeners = OtherOpenersOf(info);
  if (lockOpeners.any()) return true;
  if (!lockOpeners.read) return false;
  const long long dot = ExtensionDot(lockFile.name);
  const std::string stem = dot < 0 ? lockFile.name : lockFile.name.substr(0, size_t(dot));
  for (const std::string_view extension : kJetDatabaseExtensions) {
    for (const std::string& spelling : EveryAsciiCase(extension)) {
      const LookedAt database =
          LookAt(NameAt{lockFile.folder, stem + spelling}, /*followLink=*/true);
      if (database.error == 0 && OtherOpenersOf(database.info).any()) return true;
    }
  }
  return false;
}

// Unlinks the name if it still is the file looked at. `done` false: look again.
Status UnlinkExamined(const NameAt& file, const struct stat& examined, bool* done) {
  const int error = UnlinkIfStill(file, examined);
  *done = error != kReplaced && error != ENOENT;
  return error == 0 ? Status::OK() : FromErrno(error);
}

}  // namespace

Status Kill(const NameAt& file, const std::string& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    bool done = true;
    OpenedAt opened = OpenRegularAt(file, O_RDONLY);
    if (opened.error == kNotRegular && S_ISLNK(opened.info.st_mode)) {
      // The link itself, never its target.
      const Status unlinked = UnlinkExamined(file, opened.info, &done);
      if (done) return unlinked;
      continue;
    }
    if (opened.error == kNotRegular) return VbError(kErrPathFileAccess);
    if (opened.error == ELOOP) continue;  // a link by the time it was opened
    if (opened.error != 0) return FromErrno(opened.error);
    const UniqueFd fd = std::move(opened.fd);
    const struct stat& info = opened.info;

    // Where locks stay on this computer, or a Samba share here keeps its clients' locks to
    // itself, a workstation may hold this file with locks nobody here can see: it is never
    // ours to delete.
    MountLocks mount = LocksOf(fd.get(), info);
    AddSambaServing(path, &mount);
    if (!mount.seen()) return VbError(kErrPermissionDenied);
    // Nor while a client of a Samba server here has it, or its database, open without a
    // lock to show it, or holds a lock on it that only Samba's table shows.
    if (OpenToOthers(file, info)) return VbError(kErrPermissionDenied);
    // Linux would unlink a file in use without a word: refuse while anyone holds any lock
    // on it, and keep joiners out until it is gone ("The Kill race", LockProtocol.h).
    if (posix::TryLock(fd.get(), F_RDLCK, posix::kWholeFile) != 0)
      return VbError(kErrPermissionDenied);
    posix::LockHolder holder;
    if (posix::TestLock(fd.get(), F_WRLCK, posix::kWholeFile, &holder) != 0 || holder.held())
      return VbError(kErrPermissionDenied);
    // What cannot be a lock file (a database, a document, a second name of one) is
    // somebody's data, whatever it is called.
    if (!CanBeLockFile(fd.get(), info)) return VbError(kErrPathFileAccess);

    // The lock goes with the descriptor, after the unlink.
    const Status unlinked = UnlinkExamined(file, info, &done);
    if (done) return unlinked;
  }
  return VbError(kErrPathFileAccess);
}

Status Kill(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return VbError(kErrFileNotFound);
  const FolderOf folder(path);
  if (!folder.valid()) {
    const posix::Failure failure = posix::Classify(folder.error());
    return failure == posix::Failure::kMissing ? VbError(kErrPathNotFound)
                                               : FromErrno(folder.error());
  }
  return Kill(folder.entry(), path);
}

}  // namespace quillet
