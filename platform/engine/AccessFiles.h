#pragma once

// Access databases (.accdb, .accde: the ACE format of Access 2007 and later) with their lock
// file "<name>.laccdb". This engine never opens them as databases: it only tells, from the
// outside, whether someone is in, as it does for a Jet database without joining it. Nothing
// of an Access file is ever written, deleted or locked.
//
// What is assumed of them (the README says why): the lock file holds Jet's records, up to 255
// of 64 bytes (computer name, then account name, 32 bytes each); ACE, Jet's successor, locks
// beyond the end of both files as Jet does, and a connection's user lock is the byte at
// 0x10000001 + its slot of the lock file. Only the first is relied upon for who is listed;
// any lock at all on either file counts as someone in, wherever it lies.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Status.h"
#include "platform/engine/DatabaseScan.h"
#include "platform/engine/LockFileUsers.h"

namespace quillet {

// Whether the name ends in .accdb or .accde (any case); .laccdb for the lock file.
bool IsAccessDatabaseName(std::string_view path);
bool IsAccessLockFileName(std::string_view path);
// The path without the last extension of its last name, then ".laccdb".
std::string AccessLockFilePath(const std::string& databasePath);

// Recognizes an ACE database by its header page: page type 0x00, "Standard ACE DB" at offset
// 4, a format byte at 0x14 of 2 or more (Access 2007 onwards), and one whole page of 4096
// bytes. Reads with pread only.
bool IsAccessDatabase(int fd, off_t fileSize);

// Fills in one scan (DatabaseScanner::Scan calls it for a scan marked `access`): closed,
// other engine (a lock on the database or its lock file), stale lock file, unknown (locks
// unseen, or unreadable), not a database; or, for an orphan lock file, stale lock file or
// unknown. DatabaseScanner::Scan adds the opens Samba's table shows, as for Jet databases.
void LookAtAccessFile(DatabaseScan* scan);

// The records of the .laccdb beside `databasePath`, in slot order, then the opens only a
// Samba server here knows of (as ReadLockFileUsers). A record whose user lock is held is
// "live elsewhere"; with no lock on either file, "left behind"; with locks elsewhere only,
// "unknown": ACE's offsets are not documented, so an unheld user lock proves nothing then.
// Fails as ReadLockFileUsers does for a path that names no Access database (3024, 3044,
// 3343), and with 3050 for a lock file that cannot be one.
Status ReadAccessLockFileUsers(const std::string& databasePath, std::string* lockPath,
                               std::vector<LockFileUser>* users);

}  // namespace quillet
