#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace quillet::posix {

// The engine's one door to the operating system (see LockProtocol.h for what it locks).
// Every call retries EINTR and reports failure as an errno value; every descriptor it
// opens is close-on-exec and never 0, 1 or 2, so nothing a program prints to a closed
// standard stream can land in a database or lock file. Tests can make any call fail (see
// InjectFault at the end).

// Opens without following anything odd: O_NONBLOCK so a FIFO never blocks the open,
// O_NOCTTY so a terminal never becomes ours. Returns the descriptor or -1 and errno.
[[nodiscard]] int Open(const std::string& path, int flags, mode_t mode = 0);
// The same for `name` in the folder open as `folderFd` (an O_PATH descriptor will do): no
// step after the folder's open can land in another folder, and it spares walking the path.
[[nodiscard]] int OpenAt(int folderFd, const std::string& name, int flags, mode_t mode = 0);
// Opens the very file that `fd` (an O_PATH descriptor) names, with `flags`, as Open does.
// Linux has no call that reopens an inode; its /proc/self/fd/N link does it, reaching the
// inode itself, never a name that may have changed since. Fails if /proc is not mounted.
[[nodiscard]] int Reopen(int fd, int flags);
// 0 or the errno.
[[nodiscard]] int Stat(const std::string& path, struct stat* info);
[[nodiscard]] int Lstat(const std::string& path, struct stat* info);
// Lstat of `name` in the folder open as `folderFd`: a link there is looked at, not followed.
[[nodiscard]] int StatAt(int folderFd, const std::string& name, struct stat* info);
[[nodiscard]] int Fstat(int fd, struct stat* info);
[[nodiscard]] int Fstatfs(int fd, struct statfs* info);
// statx(2) of the open file itself (AT_EMPTY_PATH), asking for `mask`: what the kernel could
// fill is in info->stx_mask.
[[nodiscard]] int Statx(int fd, unsigned int mask, struct statx* info);
// poll(2) of one descriptor without waiting: *happened gets the events pending now.
[[nodiscard]] int PollNow(int fd, short events, short* happened);
[[nodiscard]] int Unlink(const std::string& path);
// Unlink of `name` in the folder open as `folderFd`.
[[nodiscard]] int UnlinkAt(int folderFd, const std::string& name);
[[nodiscard]] int Fchmod(int fd, mode_t mode);
[[nodiscard]] int Fchown(int fd, uid_t owner, gid_t group);
// The effective user id, whose files this process makes (it cannot fail).
uid_t EffectiveUid();
[[nodiscard]] int Mkdir(const std::string& path, mode_t mode);
[[nodiscard]] int Rename(const std::string& from, const std::string& to);
// Whether this process may `mode` (R_OK, W_OK, X_OK) the file, by its effective ids.
[[nodiscard]] int Access(const std::string& path, int mode);
// A whole-file flock(2) lock (LOCK_EX, LOCK_SH, LOCK_UN), waiting for it: the lock the
// settings store takes on its folder, apart from the engine's byte-range locks.
[[nodiscard]] int Flock(int fd, int operation);
// This computer's name (*name left empty on failure).
[[nodiscard]] int HostName(std::string* name);
// Bytes read (short at the end of the file), or -1 and errno.
[[nodiscard]] ssize_t ReadAt(int fd, void* buffer, size_t size, off_t offset);
// 0 when every byte was written, else the errno (EIO for a short write).
[[nodiscard]] int WriteAt(int fd, const void* buffer, size_t size, off_t offset);

bool SameFile(const struct stat& a, const struct stat& b);

// What a failed call's errno means, sorted once for every caller; each caller turns the
// kinds into its own component's error numbers.
enum class Failure {
  kMissing,      // ENOENT: nothing under that name
  kBadPath,      // ENOTDIR, ELOOP: the path leads nowhere
  kNameTooLong,  // ENAMETOOLONG
  kIsFolder,     // EISDIR
  kDenied,       // EACCES, EPERM, EROFS, ETXTBSY, EBUSY: there, but not for us
  kTooManyOpen,  // EMFILE, ENFILE: this process, or the whole system, has too many files open
  kOther,        // EIO and the rest: it broke
};
Failure Classify(int error);
inline bool IsPermissionError(int error) { return Classify(error) == Failure::kDenied; }

// Open-file-description byte-range locks.
struct ByteRange {
  off_t start = 0;
  off_t length = 0;  // 0: to the end of the file and beyond
  off_t end() const { return start + length; }
};
inline constexpr ByteRange kWholeFile{0, 0};

// Takes (or converts to) a read or write lock without waiting. 0, or the errno: EAGAIN
// when another description holds a conflicting lock.
[[nodiscard]] int TryLock(int fd, short type, ByteRange range);
[[nodiscard]] int Unlock(int fd, ByteRange range);

// The first lock another description (of any process, OFD or classic) holds that would
// conflict with a lock of `type` on `range`; this description's own locks never show.
struct LockHolder {
  short type = F_UNLCK;  // F_UNLCK: nothing conflicts
  ByteRange range;
  bool held() const { return type != F_UNLCK; }
  bool wholeFile() const { return held() && range.start == 0 && range.length == 0; }
};
// 0 and *holder filled, or the errno. A failure means the locks could not be seen, never
// that nobody holds one: every caller treats it as "cannot tell".
[[nodiscard]] int TestLock(int fd, short type, ByteRange range, LockHolder* holder);

// Fault injection, for tests. A fault fails the calls of one kind that hit its target with
// `error`: the next `times` of them, or with kEveryCall every one until ClearFaults, which
// forgets every fault. A kind has one fault at a time: a new one replaces it. A target names
// the call by what it touches, so that adding another call elsewhere never moves a fault
// onto it; what it leaves empty matches every call. A call relative to a folder is named by
// the folder's path joined with the name; OpenAt and Reopen count as kOpen, StatAt as kLstat,
// UnlinkAt as kUnlink.
enum class Call {
  kOpen,
  kStat,
  kLstat,
  kFstat,
  kFstatfs,
  kStatx,
  kPoll,
  kUnlink,
  kFchmod,
  kFchown,
  kMkdir,
  kRename,  // matched by the path renamed
  kAccess,
  kFlock,
  kHostName,
  kRead,
  kWrite,
  kLock,
  kUnlock,
  kTestLock,
  kCount
};
struct Target {
  // Calls on a file whose path ends so ("Sales.ldb", ".mdb"); a descriptor is named by the
  // path it is open on (with " (deleted)" after an unlink).
  std::string path{};
  // Locks, unlocks, lock tests, reads and writes of some of these bytes.
  std::optional<ByteRange> bytes{};
  // Opens for writing only.
  bool writing = false;
};
inline constexpr int kEveryCall = -1;
void InjectFault(Call call, int error, Target target = {}, int times = 1);
void ClearFaults();
// How many calls of this kind were made since the last ClearFaults (or the start).
int CallCount(Call call);

}  // namespace quillet::posix
