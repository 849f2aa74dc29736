#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <bitset>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Status.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/LockProtocol.h"
#include "platform/engine/OtherOpeners.h"

namespace quillet {

// One record of a lock file, and whether anyone is behind it.
struct LockFileUser {
  enum class State {
    kLiveHere,         // held by a connection of this engine (any process on this machine)
    kLiveElsewhere,    // its user lock is held by another engine (Jet through Samba, Wine, ...)
    kLeftBehind,       // nobody holds it: left by a connection that ended without clearing it
    kUnknown,          // its locks cannot be seen (they stay on this computer, or a query failed)
    kOpenWithoutLock,  // no record: a Samba server here says a client has the database open
  };
  int slot = 0;          // -1 for an open without a record
  std::string computer;  // the bytes as stored, NUL and space padding removed
  std::string account;
  State state = State::kLeftBehind;
  bool exclusive = false;  // an open without a record whose share mode shuts others out
  std::string address;     // where that open comes from, as the server says
};

// The records of the lock file beside `databasePath`, in slot order: every record that is
// not blank, and every slot whose user lock is held. Reads only: no slot is taken, nothing
// is written, the database is opened read-only and locked nowhere. A missing lock file is no
// error and gives no records. `lockPath` receives the lock file's path. Fails as
// JetSession::Open does for a database path that names no database (3024, 3044, 3343), with
// "Could not lock file." (3050) for a lock file that cannot be one, and with 3051 when it
// cannot be read. Where locks cannot be seen (a client mount, a Samba share here that keeps its
// clients' locks to itself), every record's state is unknown: a live record and one left
// behind look alike. A user lock Samba's table lists is a client's: its record is live
// elsewhere. After the records come the opens of the database that only
// a Samba server here knows of (OtherOpeners.h).
Status ReadLockFileUsers(const std::string& databasePath, std::string* lockPath,
                         std::vector<LockFileUser>* users);

// A lock file opened to be read, as every reader opens one: looked at first (never a FIFO,
// never a link) and the file looked at opened, refused with 3050 unless it can be a lock
// file, its records read (3051 when they cannot be; 3048 when too many files are open). A
// missing file is no error and leaves `fd` invalid. Given `folderFd`, the lock file's folder
// opened already, the last name of lockPath is looked up in it; else the whole path.
struct LockFileContents {
  UniqueFd fd;
  struct stat info {};
  std::string records;  // up to 255 records of 64 bytes
};
Status ReadLockFile(const std::string& lockPath, LockFileContents* contents,
                    int folderFd = AT_FDCWD);

// The records of `records` worth listing, in slot order: every one that is not blank, and
// every slot in `held`. Their state is left as kLeftBehind for the caller to settle.
std::vector<LockFileUser> LockFileRecords(std::string_view records,
                                          const std::bitset<lockmap::kSlots>& held);

// Appends to `users`, after the records, an open without a record (slot -1) for each of
// `openers`: a client that only the other openers' source (a Samba server here) knows of.
void AddOpensWithoutRecord(const std::vector<OtherOpener>& openers,
                           std::vector<LockFileUser>* users);

}  // namespace quillet
