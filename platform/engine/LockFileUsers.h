#pragma once

#include <string>
#include <vector>

#include "platform/Status.h"

namespace quillet {

// One record of a lock file, and whether anyone is behind it.
struct LockFileUser {
  enum class State {
    kLiveHere,       // held by a connection of this engine (any process on this machine)
    kLiveElsewhere,  // its user lock is held by another engine (Jet through Samba, Wine, ...)
    kLeftBehind,     // nobody holds it: left by a connection that ended without clearing it
  };
  int slot = 0;
  std::string computer;  // the bytes as stored, NUL and space padding removed
  std::string account;
  State state = State::kLeftBehind;
};

// The records of the lock file beside `databasePath`, in slot order: every record that is
// not blank, and every slot whose user lock is held. Reads only: no slot is taken, nothing
// is written, the database itself is not opened. A missing lock file is no error and gives
// no records. `lockPath` receives the lock file's path.
// Fails as JetSession::Open does for a database path that names no database (3024, 3044,
// 3343), with "Could not lock file." (3050) for a lock file that cannot be one, and with
// 3051 when it cannot be read.
Status ReadLockFileUsers(const std::string& databasePath, std::string* lockPath,
                         std::vector<LockFileUser>* users);

}  // namespace quillet
