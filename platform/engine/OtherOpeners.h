#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/engine/HeldLocks.h"

namespace quillet {

// A connection to a file that no byte-range lock shows: a Windows client of a Samba server
// on this computer that opened the database (or its lock file) without locking a byte, as
// an exclusive open, asking for share mode none, does. Only the server knows of it.
struct OtherOpener {
  std::string computer;
  std::string account;
  std::string address;
  bool exclusive = false;  // its share mode shuts out every other opener
};

// Who such a server says has a file open, and the byte-range locks it holds on the file for
// its clients. Those are Linux's locks too where the share lets them through; where it keeps
// them to itself ("posix locking = no") its table is the only place that shows them. Not read
// (no server here, not allowed to ask, no answer in time): nobody is known, and `reason` says
// why.
struct OtherOpeners {
  bool read = false;
  std::string reason;
  std::vector<OtherOpener> openers;
  std::vector<HeldLock> locks{};

  bool any() const { return !openers.empty() || !locks.empty(); }
  // Whether one of `locks` covers the byte.
  bool holds(off_t offset) const;
};

// Where the engine asks, by device and inode, never by path. The programs set it once at
// start; without one nobody is ever known and the answer is "not read".
using OtherOpenersSource = std::function<OtherOpeners(dev_t device, ino_t inode)>;
void SetOtherOpenersSource(OtherOpenersSource source);

OtherOpeners OtherOpenersOf(const struct stat& file);
// Whether the source answers now (Samba's table could be read), asked of no file in
// particular: device and inode 0, which name none.
bool OtherOpenersRead();
// Whether anyone is known to have the file open, or to hold a lock on it there; a failed
// fstat counts as nobody known.
bool OthersHaveOpen(const struct stat& file);
bool OthersHaveOpen(int fd);

}  // namespace quillet
