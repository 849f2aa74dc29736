#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillet::posix {

// The one door to the operating system, for the engine (see LockProtocol.h for what it locks)
// and every library and program above it: one function per kind of call, as LevelDB's Env
// has. Every call retries EINTR and reports failure as an errno value; every descriptor it
// opens is close-on-exec and never 0, 1 or 2, so nothing a program prints to a closed
// standard stream can land in a database or lock file. Tests can make the calls that touch
// files, folders, links, pipes and programs fail (see InjectFault at the end).

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
// poll(2): how many of the descriptors have events (in their revents), 0 when `timeoutMs`
// passed first (-1: wait as long as it takes), or -1 and errno. An interrupted wait goes on
// for what is left of the time.
[[nodiscard]] int Poll(std::span<pollfd> fds, int timeoutMs);
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
// Bytes read from where the descriptor stands (a pipe, a file of /proc), 0 at the end, or -1
// and errno.
[[nodiscard]] ssize_t Read(int fd, void* buffer, size_t size);

// What a folder lists: a name other than "." and "..", and its type as the listing gives it
// (DT_REG, DT_DIR, DT_LNK, ...; DT_UNKNOWN where the filesystem does not tell).
struct FolderEntry {
  std::string name;
  unsigned char type = DT_UNKNOWN;
};
// Every entry of the folder open as `folderFd` (O_RDONLY | O_DIRECTORY), from its start, in
// the order the filesystem gives them: 0, or the errno of a listing cut short, whose entries
// up to there are kept.
[[nodiscard]] int ListFolder(int folderFd, std::vector<FolderEntry>* entries);
// What the link `name` in the folder open as `folderFd` (AT_FDCWD: the current one) holds: 0,
// or the errno (ENAMETOOLONG past PATH_MAX), *target left empty.
[[nodiscard]] int ReadLinkAt(int folderFd, const std::string& name, std::string* target);
// The path made absolute, with links, ".", ".." and repeated or trailing slashes resolved as
// far as it exists, and the rest made normal by its letters ("/srv/data/../new/a.mdb" gives
// "/srv/new/a.mdb" where new/ does not exist). Where a folder on the way cannot be looked at,
// only its letters are made normal. Never fails.
std::string ResolvedPath(const std::string& path);

// A pipe (pipe2 with `flags` and O_CLOEXEC): 0 and its read and write ends, or the errno.
[[nodiscard]] int Pipe(int (&ends)[2], int flags);
// Starts `program` (a path: PATH is never searched) with `arguments` and this process's
// environment; its standard input reads /dev/null, its standard output and error go to `out`
// and `err`, and it starts with every signal's default handling and none blocked, whatever
// the calling thread has set up (an ignored SIGPIPE, a blocked SIGTERM). 0 and *pid, or the
// errno.
[[nodiscard]] int Spawn(const std::string& program, const std::vector<std::string>& arguments,
                        int out, int err, pid_t* pid);
// waitpid(2): the child's pid and *status once it has ended, 0 while it runs (WNOHANG), or -1
// and errno.
[[nodiscard]] pid_t WaitPid(pid_t pid, int* status, int options);
// kill(2): 0 or the errno.
[[nodiscard]] int SendSignal(pid_t pid, int signal);
// Blocks `blocked` in the calling thread (pthread_sigmask, SIG_BLOCK): 0 or the errno.
[[nodiscard]] int BlockSignals(const sigset_t& blocked);
// Has `handler` (or SIG_DFL, SIG_IGN) called for `signal`, nothing blocked meanwhile and the
// calls it interrupts restarted (SA_RESTART): 0 or the errno.
[[nodiscard]] int HandleSignal(int signal, void (*handler)(int));
// A descriptor that reads as ready while one of `awaited` (blocked by the caller) is pending,
// or -1 and errno.
[[nodiscard]] int SignalFd(const sigset_t& awaited);
// Waits for one of `awaited` (blocked by the caller) and takes it: 0 and *signal, or the errno.
[[nodiscard]] int WaitForSignal(const sigset_t& awaited, int* signal);
// dup2(2), `fd` onto `onto` (not close-on-exec): 0 or the errno.
[[nodiscard]] int Duplicate(int fd, int onto);
// Whether the descriptor is a terminal.
bool IsTerminal(int fd);

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
// UnlinkAt as kUnlink, Read as kRead (and is named by its descriptor only, never by bytes).
// A poll is named by its first descriptor, a spawn by its program. WaitPid, SendSignal, the
// signal calls, Duplicate and IsTerminal take no fault (they fail only on a caller's mistake),
// nor ResolvedPath (it cannot fail).
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
  kList,
  kReadLink,
  kPipe,
  kSpawn,
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
