#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <string>
#include <vector>

namespace quillet {

// One open of a file served by the Samba on this machine, as `smbstatus --json` lists it.
// A Windows client can hold a database open with no byte-range lock at all; Samba's own
// table is then the only place that shows it.
struct SambaOpen {
  // The file, as Samba identifies it: the server's device and inode, never a path.
  dev_t device = 0;
  ino_t inode = 0;
  // The open's session. A client on port 445 gives no computer name, so Samba lists its
  // address as the machine.
  std::string machine;
  std::string user;     // the account the session runs as on this server
  std::string address;  // as Samba writes it: "ipv4:192.0.2.7:50412"
  // "exclusive" where the client lets nobody else open the file to read and write it (a
  // Windows Jet engine's exclusive open shares nothing), "shared" otherwise.
  std::string shareMode;
  bool shutsOutOthers = false;
};

// A byte-range lock Samba holds for a client, as `smbstatus -B --json` lists it. Samba keeps
// every client's lock in its own table; only with "posix locking = yes" does it also become a
// Linux lock, so elsewhere this is the only place that shows it.
struct SambaLock {
  dev_t device = 0;
  ino_t inode = 0;
  bool write = false;  // type "W"; "R" shares the bytes with other readers
  off_t start = 0;
  off_t end = 0;  // one past the last byte; lengths past the largest offset stop there
};

// Samba's table of open files and of its clients' byte-range locks, or why it could not be
// read ("no smbd running", ...).
struct SambaTable {
  bool read = false;
  std::string reason;
  std::vector<SambaOpen> opens;
  std::vector<SambaLock> locks{};
};

// Reads what `smbstatus -B --json` (Samba 4.17 and later) prints: the open files and, under
// "byte_range_locks", the locks (output without them, from smbstatus --json alone, has no
// locks). Anything it does not understand gives a table that is not read, with the reason:
// half a table could hide an open or a lock.
SambaTable ParseSmbstatusJson(const QByteArray& json);

// The opens of one file, by the device and inode of its stat.
std::vector<SambaOpen> OpensOf(const SambaTable& table, dev_t device, ino_t inode);
// The same for the locks Samba holds on one file.
std::vector<SambaLock> SambaLocksOf(const SambaTable& table, dev_t device, ino_t inode);

}  // namespace quillet
