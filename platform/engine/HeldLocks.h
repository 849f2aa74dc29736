#pragma once

#include <sys/types.h>

#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/engine/LockReach.h"
#include "platform/engine/Posix.h"

namespace quillet {

// A byte-range lock (OFD or classic) that some open file description holds on a file.
struct HeldLock {
  static constexpr off_t kToEnd = std::numeric_limits<off_t>::max();
  bool write = false;
  off_t start = 0;
  off_t end = 0;  // one past the last byte; kToEnd: to the end of the file and beyond

  bool covers(off_t offset) const { return start <= offset && offset < end; }
  bool operator==(const HeldLock&) const = default;
};

// The locks other descriptions hold on the open file, from its own F_OFD_GETLK queries, each
// of which reports one lock. Within `judged` (the few hundred bytes whose locks tell who is
// in) the file is split around each lock found, 2k + 1 queries for the k locks there; on either
// side of it one query finds one lock, if any, to stand for all of them there: they can only
// be another engine's. So a file costs at most 2 * judged.length + 3 queries, however many
// locks it has. Locks that overlap one already found stay hidden. False if a query failed.
[[nodiscard]] bool QueryHeldLocks(int fd, posix::ByteRange judged, std::vector<HeldLock>* locks);

// Every lock of the computer at one moment, read from /proc/locks and looked up by file,
// so that a scan of many files costs one read however many connections each has. The
// kernel lists a file by its filesystem's device and its inode number.
class LockSnapshot {
 public:
  // Past this many lines of /proc/locks, asking each file costs less than reading on: the
  // kernel walks its list from the start again for every page it hands out, so reading it
  // whole costs time in the square of its length (100,000 locks: seconds).
  static constexpr size_t kMaxLines = 10000;

  // Reads /proc/locks. False if it could not be read, or is longer than kMaxLines.
  [[nodiscard]] bool Read();
  // The locks listed for the file with this device and inode; empty if none.
  const std::vector<HeldLock>& Of(dev_t device, ino_t inode) const;

  // Whether /proc/locks lists every lock that matters on a file of this mount under the
  // numbers stat gives: a local filesystem whose files' device is the mount's own (not so
  // for a btrfs subvolume or an overlay) and whose inode numbers are the kernel's, read
  // by a process of the first PID namespace (the kernel leaves out the classic locks of
  // processes a namespace cannot see). Anywhere else a file's own queries are asked.
  static bool ListsLocksOf(const MountLocks& mount);

 private:
  struct FileKey {
    dev_t device;
    ino_t inode;
    bool operator==(const FileKey&) const = default;
  };
  struct FileKeyHash {
    size_t operator()(const FileKey& key) const {
      return std::hash<unsigned long long>()(key.inode * 0x9E3779B97F4A7C15ull ^ key.device);
    }
  };
  std::unordered_map<FileKey, std::vector<HeldLock>, FileKeyHash> locks_;
};

// One line of /proc/locks: "ID: POSIX|OFDLCK ADVISORY READ|WRITE PID MAJ:MIN:INODE START
// END|EOF", major and minor in hex, END the last byte. False for anything else: a waiter
// ("ID: -> ..."), flock and lease lines (they never conflict with byte-range locks),
// a line with another shape.
bool ParseProcLocksLine(std::string_view line, dev_t* device, ino_t* inode, HeldLock* lock);

}  // namespace quillet
