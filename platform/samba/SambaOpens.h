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

// Samba's table of open files, or why it could not be read ("no smbd running", ...).
struct SambaTable {
  bool read = false;
  std::string reason;
  std::vector<SambaOpen> opens;
};

// Reads what `smbstatus --json` (Samba 4.17 and later) prints. Anything it does not
// understand gives a table that is not read, with the reason: half a table could hide an open.
SambaTable ParseSmbstatusJson(const QByteArray& json);

// The opens of one file, by the device and inode of its stat.
std::vector<SambaOpen> OpensOf(const SambaTable& table, dev_t device, ino_t inode);

}  // namespace quillet
