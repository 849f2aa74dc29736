#include "platform/base/Posix.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <system_error>

extern char** environ;

namespace quillet::posix {

namespace {

constexpr size_t kCalls = static_cast<size_t>(Call::kCount);

struct Fault {
  int error = 0;  // 0: none pending
  Target target;
  int left = 0;  // matching calls still to fail, or kEveryCall
};
std::mutex faultsMutex;
std::array<Fault, kCalls> faults;  // under faultsMutex
std::atomic<bool> anyFault{false};
std::array<std::atomic<int>, kCalls> counts{};

// What one call touches, for matching a fault's target.
struct Touch {
  const std::string* path = nullptr;  // relative to the folder open as `at`, or else:
  int at = AT_FDCWD;
  int fd = -1;  // for a call on a descriptor
  std::optional<ByteRange> bytes{};
  bool writing = false;
};

std::string PathOf(int fd) {
  std::array<char, PATH_MAX> buffer;
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t got = ::readlink(link.c_str(), buffer.data(), buffer.size());
  return got > 0 ? std::string(buffer.data(), size_t(got)) : std::string();
}

off_t EndOf(ByteRange range) {
  return range.length == 0 ? std::numeric_limits<off_t>::max() : range.end();
}

bool Hits(const Target& target, const Touch& touch) {
  if (target.writing && !touch.writing) return false;
  if (target.bytes && !(touch.bytes && target.bytes->start < EndOf(*touch.bytes) &&
                        touch.bytes->start < EndOf(*target.bytes)))
    return false;
  if (target.path.empty()) return true;
  std::string path = touch.path != nullptr ? *touch.path : PathOf(touch.fd);
  if (touch.path != nullptr && touch.at != AT_FDCWD && !path.starts_with('/'))
    path = PathOf(touch.at) + "/" + path;
  return path.ends_with(target.path);
}

// True (with errno set) when a test asked this call to fail.
bool Injected(Call call, const Touch& touch) {
  const size_t index = static_cast<size_t>(call);
  counts[index].fetch_add(1, std::memory_order_relaxed);
  if (!anyFault.load(std::memory_order_relaxed)) return false;
  int error = 0;
  {
    const std::lock_guard<std::mutex> lock(faultsMutex);
    Fault& fault = faults[index];
    if (fault.error == 0 || !Hits(fault.target, touch)) return false;
    error = fault.error;
    if (fault.left != kEveryCall && --fault.left == 0) fault.error = 0;
  }
  errno = error;
  return true;
}

Touch OnPath(const std::string& path, int at = AT_FDCWD) { return Touch{.path = &path, .at = at}; }
Touch OnFd(int fd, std::optional<ByteRange> bytes = std::nullopt) {
  return Touch{.fd = fd, .bytes = bytes};
}

template <typename F>
auto Retrying(F call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

int ErrnoOf(int result) { return result == 0 ? 0 : errno; }

struct flock Describe(short type, ByteRange range) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = range.start;
  lock.l_len = range.length;
  lock.l_pid = 0;  // required by the OFD commands
  return lock;
}

// Moves a new descriptor off 0, 1 and 2.
int AboveStandardStreams(int fd) {
  if (fd >= 0 && fd <= 2) {
    // A closed standard stream handed us its number: move off it, so that a later write
    // to that stream cannot reach this file.
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    errno = error;
    fd = moved;
  }
  return fd;
}

bool Writing(int flags) { return (flags & O_ACCMODE) != O_RDONLY && (flags & O_PATH) == 0; }

}  // namespace

int Open(const std::string& path, int flags, mode_t mode) {
  return OpenAt(AT_FDCWD, path, flags, mode);
}

int OpenAt(int folderFd, const std::string& name, int flags, mode_t mode) {
  if (Injected(Call::kOpen, Touch{.path = &name, .at = folderFd, .writing = Writing(flags)}))
    return -1;
  return AboveStandardStreams(Retrying([&] {
    return ::openat(folderFd, name.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
  }));
}

// This process's folder of descriptors, /proc/self/fd, opened once: reaching a descriptor's
// link through it spares resolving /proc and /proc/self on every reopen (about a microsecond of
// the three a reopen costs). "self" is resolved when it is opened, so a child forked since
// would reach its parent's descriptors through it: a process that finds it opened by another
// opens its own (and leaves the inherited copy alone: by now its number may have been closed
// and given to something else). -1 if it cannot be opened; the whole path is then used.
int DescriptorFolder() {
  static std::mutex mutex;
  static int folder = -1;
  static pid_t opener = 0;
  const pid_t self = ::getpid();
  const std::lock_guard<std::mutex> lock(mutex);
  if (opener != self) {
    folder = AboveStandardStreams(
        Retrying([] { return ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    opener = self;
  }
  return folder;
}

int Reopen(int fd, int flags) {
  if (Injected(Call::kOpen, Touch{.fd = fd, .writing = Writing(flags)})) return -1;
  const int folder = DescriptorFolder();
  std::array<char, 32> link;
  std::snprintf(link.data(), link.size(), folder >= 0 ? "%d" : "/proc/self/fd/%d", fd);
  // The link is followed on purpose: it is how the inode is reached.
  return AboveStandardStreams(Retrying([&] {
    return ::openat(folder >= 0 ? folder : AT_FDCWD, link.data(),
                    (flags & ~O_NOFOLLOW) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  }));
}

int Stat(const std::string& path, struct stat* info) {
  if (Injected(Call::kStat, OnPath(path))) return errno;
  return ErrnoOf(Retrying([&] { return ::stat(path.c_str(), info); }));
}

int Lstat(const std::string& path, struct stat* info) { return StatAt(AT_FDCWD, path, info); }

int StatAt(int folderFd, const std::string& name, struct stat* info) {
  if (Injected(Call::kLstat, OnPath(name, folderFd))) return errno;
  return ErrnoOf(
      Retrying([&] { return ::fstatat(folderFd, name.c_str(), info, AT_SYMLINK_NOFOLLOW); }));
}

int Fstat(int fd, struct stat* info) {
  if (Injected(Call::kFstat, OnFd(fd))) return errno;
  return ErrnoOf(Retrying([&] { return ::fstat(fd, info); }));
}

int Fstatfs(int fd, struct statfs* info) {
  if (Injected(Call::kFstatfs, OnFd(fd))) return errno;
  return ErrnoOf(Retrying([&] { return ::fstatfs(fd, info); }));
}

int Statx(int fd, unsigned int mask, struct statx* info) {
  if (Injected(Call::kStatx, OnFd(fd))) return errno;
  return ErrnoOf(Retrying([&] { return ::statx(fd, "", AT_EMPTY_PATH, mask, info); }));
}

int Poll(std::span<pollfd> fds, int timeoutMs) {
  if (Injected(Call::kPoll, OnFd(fds.empty() ? -1 : fds.front().fd))) return -1;
  if (timeoutMs <= 0) return Retrying([&] { return ::poll(fds.data(), fds.size(), timeoutMs); });
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  return Retrying([&] {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return ::poll(fds.data(), fds.size(), std::max(0, static_cast<int>(left.count())));
  });
}

int Unlink(const std::string& path) { return UnlinkAt(AT_FDCWD, path); }

int UnlinkAt(int folderFd, const std::string& name) {
  if (Injected(Call::kUnlink, OnPath(name, folderFd))) return errno;
  return ErrnoOf(Retrying([&] { return ::unlinkat(folderFd, name.c_str(), 0); }));
}

int Fchmod(int fd, mode_t mode) {
  if (Injected(Call::kFchmod, OnFd(fd))) return errno;
  return ErrnoOf(Retrying([&] { return ::fchmod(fd, mode); }));
}

int Fchown(int fd, uid_t owner, gid_t group) {
  if (Injected(Call::kFchown, OnFd(fd))) return errno;
  return ErrnoOf(Retrying([&] { return ::fchown(fd, owner, group); }));
}

uid_t EffectiveUid() { return ::geteuid(); }

int Mkdir(const std::string& path, mode_t mode) {
  if (Injected(Call::kMkdir, OnPath(path))) return errno;
  return ErrnoOf(Retrying([&] { return ::mkdir(path.c_str(), mode); }));
}

int Rename(const std::string& from, const std::string& to) {
  if (Injected(Call::kRename, OnPath(from))) return errno;
  return ErrnoOf(Retrying([&] { return ::rename(from.c_str(), to.c_str()); }));
}

int Access(const std::string& path, int mode) {
  if (Injected(Call::kAccess, OnPath(path))) return errno;
  return ErrnoOf(Retrying([&] { return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS); }));
}

int Flock(int fd, int operation) {
  if (Injected(Call::kFlock, OnFd(fd))) return errno;
  return ErrnoOf(Retrying([&] { return ::flock(fd, operation); }));
}

int HostName(std::string* name) {
  name->clear();
  if (Injected(Call::kHostName, Touch{})) return errno;
  std::array<char, HOST_NAME_MAX + 1> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) != 0) return errno;
  *name = buffer.data();
  return 0;
}

ssize_t ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  if (Injected(Call::kRead, OnFd(fd, ByteRange{offset, off_t(size)}))) return -1;
  return Retrying([&] { return ::pread(fd, buffer, size, offset); });
}

int WriteAt(int fd, const void* buffer, size_t size, off_t offset) {
  if (Injected(Call::kWrite, OnFd(fd, ByteRange{offset, off_t(size)}))) return errno;
  const ssize_t put = Retrying([&] { return ::pwrite(fd, buffer, size, offset); });
  if (put < 0) return errno;
  return static_cast<size_t>(put) == size ? 0 : EIO;
}

ssize_t Read(int fd, void* buffer, size_t size) {
  if (Injected(Call::kRead, OnFd(fd))) return -1;
  return Retrying([&] { return ::read(fd, buffer, size); });
}

int ListFolder(int folderFd, std::vector<FolderEntry>* entries) {
  entries->clear();
  if (Injected(Call::kList, OnFd(folderFd))) return errno;
  // Read from the descriptor itself (getdents64, what readdir calls): a DIR would take it, or
  // a copy of it, one descriptor more than the caller holds. From the start, as rewinddir.
  (void)::lseek(folderFd, 0, SEEK_SET);
  alignas(struct dirent64) std::array<char, 32768> buffer;
  for (;;) {
    const ssize_t got =
        Retrying([&] { return ::getdents64(folderFd, buffer.data(), buffer.size()); });
    if (got <= 0) return got == 0 ? 0 : errno;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.data() + at);
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") entries->push_back({std::string(name), entry->d_type});
      at += entry->d_reclen;
    }
  }
}

int ReadLinkAt(int folderFd, const std::string& name, std::string* target) {
  target->clear();
  if (Injected(Call::kReadLink, OnPath(name, folderFd))) return errno;
  std::array<char, PATH_MAX> buffer;
  const ssize_t size =
      Retrying([&] { return ::readlinkat(folderFd, name.c_str(), buffer.data(), buffer.size()); });
  if (size < 0) return errno;
  if (size_t(size) == buffer.size()) return ENAMETOOLONG;
  target->assign(buffer.data(), size_t(size));
  return 0;
}

std::string ResolvedPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (error) resolved = std::filesystem::absolute(path, error).lexically_normal();
  std::string text = resolved.string();
  // weakly_canonical keeps the slash a folder's name ended with ("/srv/data/").
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

int Pipe(int (&ends)[2], int flags) {
  if (Injected(Call::kPipe, Touch{})) return errno;
  if (::pipe2(ends, flags | O_CLOEXEC) != 0) return errno;
  ends[0] = AboveStandardStreams(ends[0]);
  const int error = errno;
  ends[1] = AboveStandardStreams(ends[1]);
  if (ends[0] >= 0 && ends[1] >= 0) return 0;
  const int failed = ends[0] < 0 ? error : errno;
  for (int& end : ends) {
    if (end >= 0) ::close(end);
    end = -1;
  }
  return failed;
}

int Spawn(const std::string& program, const std::vector<std::string>& arguments, int out, int err,
          pid_t* pid) {
  if (Injected(Call::kSpawn, OnPath(program))) return errno;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, err, STDERR_FILENO);
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int error = ::posix_spawn(pid, program.c_str(), &files, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  return error;
}

pid_t WaitPid(pid_t pid, int* status, int options) {
  return Retrying([&] { return ::waitpid(pid, status, options); });
}

int SendSignal(pid_t pid, int signal) { return ErrnoOf(::kill(pid, signal)); }

int BlockSignals(const sigset_t& blocked) {
  return ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

int HandleSignal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ErrnoOf(::sigaction(signal, &action, nullptr));
}

int SignalFd(const sigset_t& awaited) {
  return AboveStandardStreams(::signalfd(-1, &awaited, SFD_CLOEXEC));
}

int WaitForSignal(const sigset_t& awaited, int* signal) {
  int error;
  do {
    error = ::sigwait(&awaited, signal);
  } while (error == EINTR);
  return error;
}

int Duplicate(int fd, int onto) {
  return Retrying([&] { return ::dup2(fd, onto); }) < 0 ? errno : 0;
}

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Failure Classify(int error) {
  switch (error) {
    case ENOENT: return Failure::kMissing;
    case ENOTDIR:
    case ELOOP: return Failure::kBadPath;
    case ENAMETOOLONG: return Failure::kNameTooLong;
    case EISDIR: return Failure::kIsFolder;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY: return Failure::kDenied;
    case EMFILE:
    case ENFILE: return Failure::kTooManyOpen;
    default: return Failure::kOther;
  }
}

int TryLock(int fd, short type, ByteRange range) {
  if (Injected(Call::kLock, OnFd(fd, range))) return errno;
  struct flock lock = Describe(type, range);
  const int error = ErrnoOf(Retrying([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); }));
  return error == EACCES ? EAGAIN : error;  // POSIX allows either for "held elsewhere"
}

int Unlock(int fd, ByteRange range) {
  if (Injected(Call::kUnlock, OnFd(fd, range))) return errno;
  struct flock lock = Describe(F_UNLCK, range);
  return ErrnoOf(Retrying([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); }));
}

int TestLock(int fd, short type, ByteRange range, LockHolder* holder) {
  if (Injected(Call::kTestLock, OnFd(fd, range))) return errno;
  struct flock lock = Describe(type, range);
  const int error = ErrnoOf(Retrying([&] { return ::fcntl(fd, F_OFD_GETLK, &lock); }));
  if (error != 0) return error;
  holder->type = lock.l_type;
  holder->range = ByteRange{lock.l_start, lock.l_len};
  return 0;
}

void InjectFault(Call call, int error, Target target, int times) {
  const std::lock_guard<std::mutex> lock(faultsMutex);
  faults[static_cast<size_t>(call)] = Fault{error, std::move(target), times};
  anyFault.store(true);
}

void ClearFaults() {
  const std::lock_guard<std::mutex> lock(faultsMutex);
  faults = {};
  for (std::atomic<int>& count : counts) count.store(0);
  anyFault.store(false);
}

int CallCount(Call call) { return counts[static_cast<size_t>(call)].load(); }

}  // namespace quillet::posix
