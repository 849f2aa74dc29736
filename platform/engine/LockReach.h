#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

// Who sees the byte-range locks taken on a file. Everything this engine knows about a
// database (who is in, which mode, whether a lock file is stale) comes from locks, so
// it can only be known where every program that reaches the file sees the same ones.
enum class LockReach {
  // A local filesystem: every program on this computer sees the same locks, and so does
  // every client of a Samba or NFS server that runs here.
  kLocal,
  // A network filesystem that passes locks to its server (CIFS/SMB3 without nobrl, NFS
  // with the lock manager): the server and its other clients see them.
  kForwarded,
  // A client mount whose locks stay in this computer's kernel (FUSE, CIFS with nobrl,
  // NFS with nolock or local_lock, hypervisor shared folders, 9p, davfs) or a type not
  // known here: other computers' connections are invisible.
  kThisComputerOnly,
};

// "local", "forwarded", "this computer only": the words scripts read.
const char* LockReachName(LockReach reach);

// How the mount of a file was told.
enum class MountSource {
  // It could not be (statx, fstatfs or the read of the mount table failed): cannot tell,
  // which is never "local".
  kUntold,
  // /proc/self/mountinfo lists it: its type, options and mount point.
  kMountTable,
  // The table does not list its device (btrfs gives each subvolume a device number of its
  // own): the magic number fstatfs gives, which tells a type but none of its options.
  kMagicNumber,
};

// A Samba share that keeps its clients' locks from Linux.
struct SambaHiding {
  std::string share;
  std::string setting;  // "locking = no", "posix locking = no"
  bool certain = true;  // false: it may serve the folder (its folder is filled in per user)
  // Samba's own table of those locks was read ("posix locking = no", as root beside Samba's
  // smbd): it stands in for Linux's. With "locking = no" Samba keeps none anywhere.
  bool table = false;
};

struct MountLocks {
  LockReach reach = LockReach::kThisComputerOnly;
  MountSource source = MountSource::kUntold;
  // The type as mountinfo names it ("ext4", "fuse.sshfs"), or as a known magic number tells it.
  std::optional<std::string> type{};
  unsigned long magic = 0;   // fstatfs's f_type, where that told the mount
  std::string mountPoint{};  // where the mount table lists it

  // A share of the Samba server on this computer that serves the folder, or may, and keeps
  // its clients' locks from Linux (SambaServing.h); none where no share does. Its Windows
  // clients' locks are then not among the ones looked for.
  std::optional<SambaHiding> samba{};

  bool hiddenBySamba() const { return samba && !samba->table; }
  bool seen() const { return reach != LockReach::kThisComputerOnly && !hiddenBySamba(); }
};

// The filesystem as users read it (LocksUnseenReason, "filesystem" in JSON): its type,
// "unknown (0x...)" for a magic number not known here, "unknown" where the mount is untold.
std::string FilesystemName(const MountLocks& mount);

// What `check --json` and the other JSON outputs call the mount's locks: LockReachName's
// words, "hidden by Samba" where a share keeps them from Linux and its table was not read
// (or keeps none), and "in Samba's table" where that table stands in for them.
const char* LocksName(const MountLocks& mount);

// The class of a mount type with its options (mount and filesystem options, each a
// comma-separated list, in either string).
LockReach ClassifyMount(std::string_view type, std::string_view mountOptions,
                        std::string_view superOptions = {});

// One line of /proc/self/mountinfo. False if the line does not have mountinfo's shape.
struct MountInfoEntry {
  uint64_t id = 0;  // the mount ID, as statx's STATX_MNT_ID gives it
  unsigned major = 0;
  unsigned minor = 0;
  std::string mountPoint;  // "\040" and the other octal escapes undone
  std::string type;
  std::string mountOptions;
  std::string superOptions;
};
bool ParseMountInfoLine(std::string_view line, MountInfoEntry* entry);

// The mount an open file lives on, with its class: found in /proc/self/mountinfo by the mount
// ID statx gives (by the device where the kernel gives none), and remembered per mount until
// the mount table changes. Neither numbers alone would do: device numbers and mount IDs are
// both handed out again once their mount is gone, so a FUSE mount may get the number a tmpfs
// had a moment ago.
MountLocks LocksOf(int fd);
MountLocks LocksOf(int fd, const struct stat& info);  // the same, given fd's fstat
// The same for a path (followed where it is a link); the folder's for a missing file.
MountLocks LocksOfPath(const std::string& path);

// The reason a user is given when locks cannot be seen: names the filesystem, or the Samba
// share and its setting, and what to do. Empty when they can.
std::string LocksUnseenReason(const MountLocks& mount);

}  // namespace quillet
