#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "platform/Status.h"
#include "platform/engine/UniqueFd.h"

namespace quillet {

// The lock file of a database: the path without the last extension of its last name, then
// ".ldb" ("/data/Sales.mdb" -> "/data/Sales.ldb", "/a.b/c" -> "/a.b/c.ldb"). Bytes in,
// bytes out: names need not be UTF-8.
std::string LockFilePath(const std::string& databasePath);

inline constexpr int kLockFileSlots = 255;
inline constexpr int kLockRecordSize = 64;  // 32 bytes computer name, 32 bytes user name

// One connection's slot in a lock file. The slot is owned by a write lock on its 64 bytes,
// taken through this connection's own open file description of the lock file, so the
// kernel frees it if the process dies; the record written there (computer and user name)
// stays behind, which is why a crashed workstation leaves a lock file longer than 0 bytes.
//
// Joining and leaving run under the database's gate lock, so they never race each other.
// They can race a Kill of the lock file, which holds a read lock over the whole file
// while it unlinks: a slot cannot be claimed under it, and a claim that lands after the
// unlink is caught by checking that the path still names the file we hold.
class LockFileSlot {
 public:
  enum class Outcome {
    kClaimed,     // we hold a slot and our record is written
    kNoLockFile,  // the lock file's name is the database itself: run without one
    kRetry,       // the file was being deleted or was replaced under us: try again
    kFailed,      // see the status
  };

  // Claims a free slot of the lock file at lockPath, creating the file if needed, for a
  // connection of `user` to `databasePath` (whose fstat is `database`).
  static Outcome Claim(const std::string& lockPath, const std::string& databasePath,
                       const struct stat& database, const std::string& user,
                       std::optional<LockFileSlot>* slot, Status* status);

  LockFileSlot(LockFileSlot&&) = default;
  LockFileSlot& operator=(LockFileSlot&&) = default;

  // Zeroes our record and gives up the slot. With mayDelete (the caller holds the gate),
  // the file is deleted if no other connection holds a slot in it and the path still
  // names it.
  void Leave(bool mayDelete);

  int slotIndex() const { return slot_; }

 private:
  LockFileSlot(std::string path, UniqueFd fd, dev_t device, ino_t inode, int slot)
      : path_(std::move(path)), fd_(std::move(fd)), device_(device), inode_(inode), slot_(slot) {}

  std::string path_;
  UniqueFd fd_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int slot_ = -1;
};

}  // namespace quillet
