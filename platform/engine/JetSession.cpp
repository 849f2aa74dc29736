#include "platform/engine/JetSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/VbErrors.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/OfdLock.h"

namespace quillet {

namespace {

// Far beyond the data of any database, and far from the offsets the real engine locks, so
// these locks never meet a byte anyone reads or writes.
constexpr off_t kBase = off_t{1} << 62;
constexpr ByteRange kGate{kBase, 1};
constexpr ByteRange kPresence{kBase + 1, 1};
constexpr ByteRange kPresenceAndRecord{kBase + 1, 2};
constexpr ByteRange kExclusive{kBase + 3, 1};
constexpr ByteRange kState{kBase + 1, 3};  // presence, record, exclusive
constexpr off_t kRecordByte = kBase + 2;

using Clock = std::chrono::steady_clock;
// Nothing ever waits without bound: a gate holder that is stopped (SIGSTOP) or wedged
// costs a joiner at most this long before it reports "Could not lock file.".
constexpr auto kGateWait = std::chrono::seconds(3);
constexpr auto kJoinWait = std::chrono::seconds(5);
constexpr auto kRetryPause = std::chrono::microseconds(200);

bool Covers(const ByteRange& range, off_t offset) {
  return range.start <= offset && (range.length == 0 || offset < range.start + range.length);
}

// Gate holders keep it for microseconds, so short sleeps that grow a little find it free
// soon without spinning.
bool AcquireGate(int fd, short type) {
  const Clock::time_point deadline = Clock::now() + kGateWait;
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    const int error = TryLock(fd, type, kGate);
    if (error == 0) return true;
    if (error != EAGAIN || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

enum class Occupancy { kNobody, kPageLevel, kRecordLevel, kExclusive, kUnknown };

// Who else has the database open, as seen by the caller, who holds the gate. One test
// suffices: exclusive holders and shared ones never coexist, and every shared connection
// of a session runs in the same mode, so any one holder tells the state of all.
Occupancy WhoIsThere(int fd) {
  LockHolder holder;
  if (TestLock(fd, F_WRLCK, kState, &holder) != 0) return Occupancy::kUnknown;
  if (!holder.held()) return Occupancy::kNobody;
  if (holder.type == F_WRLCK || Covers(holder.range, kExclusive.start))
    return Occupancy::kExclusive;
  return Covers(holder.range, kRecordByte) ? Occupancy::kRecordLevel : Occupancy::kPageLevel;
}

bool IsPermissionError(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

// Jet tells a missing file in an existing folder from a path that leads nowhere.
Status MissingPathError(const std::string& path, int error) {
  if (error == ENOENT) {
    const bool folderExists = MissingFileError(path).number() == kErrFileNotFound;
    return folderExists ? CouldNotFindFile(path) : InvalidPath(path);
  }
  if (error == EACCES || error == EPERM) return CannotOpenFile(path);
  return InvalidPath(path);  // ENOTDIR, ENAMETOOLONG, ELOOP and the like
}

Status NotADatabaseFile(const std::string& path, const struct stat& info) {
  return S_ISDIR(info.st_mode) ? InvalidPath(path) : UnrecognizedFormat(path);
}

}  // namespace

JetSession::JetSession(std::string path, LockingLevel level, bool exclusive, UniqueFd database,
                       std::optional<LockFileSlot> slot)
    : path_(std::move(path)),
      level_(level),
      exclusive_(exclusive),
      database_(std::move(database)),
      slot_(std::move(slot)) {}

JetSession::~JetSession() { Close(); }

Status JetSession::Open(const std::string& path, const JetOpenRequest& request,
                        std::unique_ptr<JetSession>* session) {
  if (path.empty() || path.find('\0') != std::string::npos) return InvalidPath(path);

  // Look before opening: a FIFO would block an open, a device may act on one. Only a
  // regular file is ever opened, and the descriptor is checked again below.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return MissingPathError(path, errno);
  if (!S_ISREG(info.st_mode)) return NotADatabaseFile(path, info);

  // The coordination locks need a descriptor that can take write locks, so the file is
  // opened for writing whenever it allows it, read-only requests included; the engine
  // never writes a byte of the database itself.
  bool writable = true;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid() && IsPermissionError(errno)) {
    writable = false;
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return MissingPathError(path, errno);
    if (errno == EISDIR) return InvalidPath(path);
    return CannotOpenFile(path);
  }
  if (::fstat(fd.get(), &info) != 0) return CannotOpenFile(path);
  if (!S_ISREG(info.st_mode)) return NotADatabaseFile(path, info);
  if (!IsJetDatabase(fd.get(), info.st_size)) return UnrecognizedFormat(path);

  if (!writable) {
    // Without write access only a read-only exclusive open is possible: it needs no
    // lock file and no write lock. A shared open would have to take the gate.
    if (request.exclusive && request.readOnly)
      return OpenReadOnlyExclusive(path, request, std::move(fd), session);
    return CannotOpenFile(path);
  }
  if (request.exclusive) return OpenExclusive(path, request, std::move(fd), session);
  return JoinShared(path, request, info, std::move(fd), session);
}

// Every early return below closes `fd`, which also lets go of the gate.

Status JetSession::JoinShared(const std::string& path, const JetOpenRequest& request,
                              const struct stat& info, UniqueFd fd,
                              std::unique_ptr<JetSession>* session) {
  const Clock::time_point deadline = Clock::now() + kJoinWait;
  if (!AcquireGate(fd.get(), F_WRLCK)) return CouldNotLockFile();

  LockingLevel level;
  switch (WhoIsThere(fd.get())) {
    case Occupancy::kNobody: level = request.level; break;  // the first opener decides
    case Occupancy::kPageLevel: level = LockingLevel::Page; break;
    case Occupancy::kRecordLevel: level = LockingLevel::Record; break;
    case Occupancy::kExclusive: return FileAlreadyInUse(path);
    default: return CouldNotLockFile();
  }

  std::optional<LockFileSlot> slot;
  const std::string lockPath = LockFilePath(path);
  for (;;) {
    Status failure;
    const LockFileSlot::Outcome outcome =
        LockFileSlot::Claim(lockPath, path, info, request.userName, &slot, &failure);
    if (outcome == LockFileSlot::Outcome::kClaimed) break;
    if (outcome == LockFileSlot::Outcome::kNoLockFile) break;
    if (outcome == LockFileSlot::Outcome::kFailed) return failure;
    if (Clock::now() >= deadline) return CouldNotLockFile();
    std::this_thread::sleep_for(kRetryPause);  // a Kill is finishing its unlink
  }

  const ByteRange presence = level == LockingLevel::Record ? kPresenceAndRecord : kPresence;
  if (TryLock(fd.get(), F_RDLCK, presence) != 0) {
    if (slot) slot->Leave(/*mayDelete=*/true);  // we still hold the gate
    return CouldNotLockFile();
  }
  (void)Unlock(fd.get(), kGate);
  session->reset(new JetSession(path, level, false, std::move(fd), std::move(slot)));
  return Status::OK();
}

Status JetSession::OpenExclusive(const std::string& path, const JetOpenRequest& request,
                                 UniqueFd fd, std::unique_ptr<JetSession>* session) {
  if (!AcquireGate(fd.get(), F_WRLCK)) return CouldNotLockFile();
  const Occupancy occupancy = WhoIsThere(fd.get());
  if (occupancy == Occupancy::kUnknown) return CouldNotLockFile();
  if (occupancy != Occupancy::kNobody) return FileAlreadyInUse(path);
  if (TryLock(fd.get(), F_WRLCK, kPresence) != 0) return CouldNotLockFile();
  (void)Unlock(fd.get(), kGate);
  session->reset(new JetSession(path, request.level, true, std::move(fd), std::nullopt));
  return Status::OK();
}

// A read-only descriptor can take read locks only. The gate is taken shared, which keeps
// out joiners and leavers (they need it exclusively) but not another read-only exclusive
// opener; two of those that slip in together both see each other's marker afterwards
// and both give up, so never more than one succeeds.
Status JetSession::OpenReadOnlyExclusive(const std::string& path, const JetOpenRequest& request,
                                         UniqueFd fd, std::unique_ptr<JetSession>* session) {
  if (!AcquireGate(fd.get(), F_RDLCK)) return CouldNotLockFile();
  const Occupancy occupancy = WhoIsThere(fd.get());
  if (occupancy == Occupancy::kUnknown) return CouldNotLockFile();
  if (occupancy != Occupancy::kNobody) return FileAlreadyInUse(path);
  if (TryLock(fd.get(), F_RDLCK, kExclusive) != 0) return CouldNotLockFile();
  LockHolder other;
  if (TestLock(fd.get(), F_WRLCK, kExclusive, &other) != 0) return CouldNotLockFile();
  if (other.held()) return FileAlreadyInUse(path);
  (void)Unlock(fd.get(), kGate);
  session->reset(new JetSession(path, request.level, true, std::move(fd), std::nullopt));
  return Status::OK();
}

void JetSession::Close() {
  if (!database_.valid()) return;
  if (slot_) {
    // Leaving under the gate makes "the last one out deletes the lock file" exact even
    // when several leave at once. If the gate cannot be had, leave without deleting: the
    // file stays behind like a crashed connection's, and the next opener reuses it.
    const bool gate = AcquireGate(database_.get(), F_WRLCK);
    slot_->Leave(/*mayDelete=*/gate);
    slot_.reset();
  }
  database_.reset();  // drops presence, record level and the gate in one step
}

}  // namespace quillet
