#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Status.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/FolderFiles.h"
#include "platform/engine/OtherOpeners.h"

namespace quillet {

// The lock file of a database: the path without the last extension of its last name, then
// ".ldb" ("/data/Sales.mdb" -> "/data/Sales.ldb", "/a.b/c" -> "/a.b/c.ldb"). Bytes in,
// bytes out: names need not be UTF-8.
std::string LockFilePath(const std::string& databasePath);
// Whether a name is a lock file's: it ends in .ldb (any case).
bool IsLockFileName(std::string_view path);
inline constexpr std::string_view kLockFileExtension = ".ldb";

// Whether the open file can be a lock file at all: a regular file with one name, no
// larger than 255 records, holding nothing but records of two names of text padded with
// NULs or spaces (or all zero). Anything else (a user's database or document that happens
// to carry the name, a hard link to one) is never written, truncated or deleted.
bool CanBeLockFile(int fd, const struct stat& info);

// Whether `lockFile` names a file that may be treated as a lock file of the database of that
// name in the same folder: it can be a lock file (above), is not a link, and is not the
// database, which is there (a regular file, through a link or not).
bool CouldBeLockFileOf(const NameAt& lockFile, const std::string& databaseName);
// The same for a lock file beside the database at databasePath (its folder is opened once).
bool CouldBeLockFileOf(const std::string& lockPath, const std::string& databasePath);

// Whether anyone other than this engine's connections holds a lock on the open lock file
// (the byte map is in LockProtocol.h): the marks of our slots are looked for on the open
// database. The caller's own descriptions' locks never count. True too when a lock query
// failed: what cannot be seen may be another engine. What a Samba server here says of the
// file (OtherOpeners.h) is for the caller to ask.
bool AnotherEngineInLockFile(int lockFd, int databaseFd);

// Whether a connection of this engine holds the mark of `slot` on the open database (not
// through databaseFd itself). False when databaseFd is -1; nothing when the query failed.
std::optional<bool> SlotMarked(int databaseFd, int slot);

// One connection's slot in a lock file: its user lock, taken through its own open file
// description of the lock file, and its mark on the database (LockProtocol.h); the kernel
// frees them if the process dies; its record stays behind, which is why a crashed workstation
// leaves a lock file longer than 0 bytes. Joining and leaving run under the database's gate.
class LockFileSlot {
 public:
  enum class Outcome {
    kClaimed,     // we hold a slot and our record is written
    kNoLockFile,  // the lock file's name is the database itself: run without one
    kFull,        // every slot is held
    kRetry,       // the file was being deleted or was replaced under us: try again
    kFailed,      // see the status
  };

  // Claims a free slot of the lock file `lockFile` (in the database's folder, which outlives
  // the slot), creating the file if needed (and allowed: MayCreateIn), for a connection of
  // `user` to databasePath, open as databaseFd, whose fstat is `database`. The slot's mark,
  // for the session's mode, is taken through databaseFd and goes when it is closed.
  static Outcome Claim(const NameAt& lockFile, const std::string& databasePath, int databaseFd,
                       const struct stat& database, const std::string& user, bool recordLevel,
                       std::optional<LockFileSlot>* slot, Status* status);

  LockFileSlot(LockFileSlot&&) = default;
  LockFileSlot& operator=(LockFileSlot&&) = default;

  // Zeroes our record and gives up the slot. With mayDelete (the caller holds the gate),
  // the file is deleted if nobody else, of any engine, holds a lock on it and its name in
  // the folder still names it. `samba` is what a Samba server here says of the lock file: a
  // user lock of our slot in its table is a client's, and so is the record.
  void Leave(bool mayDelete, const OtherOpeners& samba = {});

  int fd() const { return fd_.get(); }
  const struct stat& info() const { return info_; }

 private:
  LockFileSlot(NameAt file, UniqueFd fd, const struct stat& info, int slot)
      : file_(std::move(file)), fd_(std::move(fd)), info_(info), slot_(slot) {}

  NameAt file_;
  UniqueFd fd_;
  struct stat info_;
  int slot_ = -1;
};

}  // namespace quillet
