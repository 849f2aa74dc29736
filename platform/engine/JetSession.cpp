#include "platform/engine/JetSession.h"

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/base/Posix.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/LockProtocol.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/SambaServing.h"

namespace quillet {

namespace {

using namespace lockmap;
using posix::ByteRange;
using posix::TryLock;
using posix::Unlock;

constexpr ByteRange kGateRange{kGate, 1};
constexpr ByteRange kExclusiveRange{kExclusive, 1};
constexpr ByteRange kReadOnlyExclusiveRange{kReadOnlyExclusive, 1};
constexpr ByteRange kState{kExclusive, kMarksEnd - kExclusive};  // up to the last mark
// Where a mode is said: the record byte, the read-only exclusive one and the marks.
constexpr ByteRange kModeSaid{kRecordLevel, kMarksEnd - kRecordLevel};

using Clock = std::chrono::steady_clock;
// The bounds on waiting of LockProtocol.h.
constexpr auto kGateWait = std::chrono::seconds(3);
constexpr auto kJoinWait = std::chrono::seconds(5);
constexpr auto kRetryPause = std::chrono::microseconds(200);

enum class Occupancy { kNobody, kPageLevel, kRecordLevel, kExclusive, kUnknown };

// Who else has the database open, as seen by the caller, who holds the gate. Exclusive
// holders and shared ones never coexist, and every shared connection of a session runs
// in the same mode, so any one holder tells the state of all.
Occupancy WhoIsThere(int fd) {
  std::optional<HeldLock> holder;
  if (!FirstHeldLock(fd, kState, &holder)) return Occupancy::kUnknown;
  if (!holder) return Occupancy::kNobody;
  if (holder->covers(kReadOnlyExclusive)) return Occupancy::kExclusive;
  if (holder->covers(kExclusive) && holder->write) return Occupancy::kExclusive;
  const bool record = holder->start >= kMarkBase ? MarkSaysRecordLevel(holder->start)
                                                 : holder->covers(kRecordLevel);
  return record ? Occupancy::kRecordLevel : Occupancy::kPageLevel;
}

// Whether a lock says another mode than the one `record` names, or a read-only exclusive hold,
// or hides what lies beneath it (a lock over the whole file): a rival of a read-only joiner.
// A presence alone says no mode and is passed over.
bool RivalsMode(const HeldLock& lock, bool record) {
  if (lock.wholeFile() || lock.covers(kReadOnlyExclusive)) return true;
  if (lock.covers(kRecordLevel) && !record) return true;
  const auto [first, end] = lock.within(kMarkBase, kMarksEnd);
  for (off_t mark = first; mark < end; ++mark) {
    if (MarkSaysRecordLevel(mark) != record) return true;
  }
  return false;
}

// Whether anyone rivals `level` (RivalsMode), as a read-only joiner may meet them: it shares
// the gate with its like ("read-only join" in LockProtocol.h). A failed query cannot tell: it
// counts as one.
bool RivalThere(int fd, LockingMode level) {
  const bool record = level == LockingMode::kRecord;
  return !ForEachHeldLock(fd, kModeSaid,
                          [record](const HeldLock& lock) { return !RivalsMode(lock, record); });
}

// Any lock on the database outside this engine's private range is another engine's. A
// query that fails cannot tell, which is not the same as nobody: it counts as one.
bool AnotherEngineInDatabase(int fd) {
  for (const ByteRange range :
       {ByteRange{0, kPrivateBase}, ByteRange{kPrivateBase + kDatabasePrivateLength, 0}}) {
    posix::LockHolder holder;
    if (posix::TestLock(fd, F_WRLCK, range, &holder) != 0 || holder.held()) return true;
  }
  return false;
}

// The same question of a lock file that the asker holds no slot in (or that may not
// exist, or be the database itself).
bool AnotherEngineInLockFileAt(const NameAt& lockFile, int databaseFd) {
  const OpenedAt seen = OpenRegularAt(lockFile, O_RDONLY);
  if (!seen.fd.valid()) return false;
  struct stat database;
  if (posix::Fstat(databaseFd, &database) != 0) return true;
  if (posix::SameFile(seen.info, database)) return false;
  return AnotherEngineInLockFile(seen.fd.get(), databaseFd) || OthersHaveOpen(seen.info);
}

// A client of a Samba server here that opened the database sharing neither reading nor
// writing shuts everybody else out, as it would on Windows.
bool OpenedExclusivelyByOthers(const struct stat& database) {
  for (const OtherOpener& opener : OtherOpenersOf(database).openers) {
    if (opener.exclusive) return true;
  }
  return false;
}

// The open of a database's folder failed: the path leads nowhere, as Jet says.
Status FolderError(const std::string& path, int error) {
  switch (posix::Classify(error)) {
    case posix::Failure::kDenied: return JetError(kJetErrCannotOpen, path);
    case posix::Failure::kTooManyOpen: return OpenFailure(error, kJetErrCannotOpen, path);
    default: return JetError(kJetErrInvalidPath, path);  // ENOENT, ENOTDIR, ELOOP, EIO, ...
  }
}

// Looking at or opening the database in its folder failed. Jet tells a missing file in an
// existing folder (a link to nothing too) from a path that leads nowhere.
Status DatabaseOpenError(const std::string& path, int error) {
  switch (posix::Classify(error)) {
    case posix::Failure::kMissing: return JetError(kJetErrCouldNotFindFile, path);
    case posix::Failure::kBadPath:
    case posix::Failure::kNameTooLong:
    case posix::Failure::kIsFolder: return JetError(kJetErrInvalidPath, path);
    default: return OpenFailure(error, kJetErrCannotOpen, path);
  }
}

Status NotADatabaseFile(const std::string& path, const struct stat& info) {
  return JetError(S_ISDIR(info.st_mode) ? kJetErrInvalidPath : kJetErrUnrecognizedFormat, path);
}

// Where locks stay on this computer an exclusive open would shut out nobody elsewhere.
Status ExclusiveOnUnseenLocks(const MountLocks& mount) {
  return Status::Error(ErrorSource::kJet, kJetErrCouldNotLock,
                       JetError(kJetErrCouldNotLock).description() +
                           " An exclusive open would not keep other computers out. " +
                           LocksUnseenReason(mount));
}

// How many connections of this process hold a lock-file slot, per database file ("one
// process, a full file" in LockProtocol.h). Never destroyed: a session may close as the
// program's statics go.
struct SlotsHere {
  std::mutex mutex;
  std::map<JetSession::FileId, int> count;
};
SlotsHere& Slots() {
  static SlotsHere* const slots = new SlotsHere;
  return *slots;
}

void CountSlotHere(const JetSession::FileId& file, int change) {
  const std::lock_guard lock(Slots().mutex);
  if ((Slots().count[file] += change) <= 0) Slots().count.erase(file);
}

bool SlotHeldHere(const JetSession::FileId& file) {
  const std::lock_guard lock(Slots().mutex);
  return Slots().count.contains(file);
}

}  // namespace

// Gate holders keep it for microseconds, so short sleeps that grow a little find it free
// soon without spinning. A read-only descriptor cannot write-lock: it takes the gate shared.
bool AcquireGate(int databaseFd, short type) {
  const Clock::time_point deadline = Clock::now() + kGateWait;
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    const int error = TryLock(databaseFd, type, kGateRange);
    if (error == 0) return true;
    if (error == EBADF && type == F_WRLCK) {  // a read-only descriptor takes the gate shared
      type = F_RDLCK;
      continue;
    }
    if (error != EAGAIN || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

JetSession::JetSession(Found found, LockingMode level, std::optional<LockFileSlot> slot)
    : path_(std::move(found.path)),
      level_(level),
      mount_(std::move(found.mount)),
      folder_(std::move(found.folder)),
      lockFile_(folder_.at(LockFilePath(folder_.name()))),
      database_(std::move(found.database)),
      slot_(std::move(slot)),
      database_info_(found.info) {}

JetSession::~JetSession() { Close(); }

Status JetSession::Find(Found* found) {
  const std::string& path = found->path;
  if (!found->folder.valid()) return FolderError(path, found->folder.error());
  // Look before opening: a FIFO would block an open, a device may act on one. Only a regular
  // file is opened, and it is the file looked at, whatever its name names by then. A link
  // is followed: whoever gave the path chose it (the lock file stays beside the link).
  const LookedAt looked = LookAt(found->folder.entry(), /*followLink=*/true);
  if (looked.error != 0) return DatabaseOpenError(path, looked.error);
  if (!S_ISREG(looked.info.st_mode)) return NotADatabaseFile(path, looked.info);

  // The coordination locks need a descriptor that can take write locks, so the file is
  // opened for writing whenever it allows it, read-only requests included; the engine
  // never writes a byte of the database itself.
  found->database = OpenLooked(looked, O_RDWR);
  if (!found->database.valid() && posix::IsPermissionError(errno)) {
    found->writable = false;
    found->database = OpenLooked(looked, O_RDONLY);
  }
  if (!found->database.valid()) return DatabaseOpenError(path, errno);
  found->info = looked.info;
  if (!IsJetDatabase(found->database.get(), found->info.st_size))
    return JetError(kJetErrUnrecognizedFormat, path);
  found->mount = LocksOf(found->database.get(), found->info);
  // A Samba share here may keep its Windows clients' locks from Linux: asked once per open.
  AddSambaServing(path, &found->mount);
  return Status::OK();
}

Status JetSession::Open(const std::string& path, const JetOpenRequest& request,
                        std::unique_ptr<JetSession>* session) {
  if (path.empty() || path.find('\0') != std::string::npos)
    return JetError(kJetErrInvalidPath, path);
  Found found(path);
  if (Status status = Find(&found); !status.ok()) return status;

  if (request.exclusive && !found.mount.seen()) return ExclusiveOnUnseenLocks(found.mount);
  if (OpenedExclusivelyByOthers(found.info)) return JetError(kJetErrFileInUse, path);
  // Without write access a connection takes read locks only ("read-only join" and
  // "read-only exclusive" in LockProtocol.h); an exclusive one must have asked to only read.
  if (!found.writable && request.exclusive && !request.readOnly)
    return JetError(kJetErrCannotOpen, path);
  return request.exclusive ? OpenExclusive(request, std::move(found), session)
                           : JoinShared(request, std::move(found), session);
}

// Every early return below closes `fd`, which also lets go of the gate.

Status JetSession::JoinShared(const JetOpenRequest& request, Found found,
                              std::unique_ptr<JetSession>* session) {
  const std::string& path = found.path;
  const struct stat& info = found.info;
  const UniqueFd& fd = found.database;
  const Clock::time_point deadline = Clock::now() + kJoinWait;
  if (!AcquireGate(fd.get(), F_WRLCK)) return JetError(kJetErrCouldNotLock);

  LockingMode level;
  switch (WhoIsThere(fd.get())) {
    case Occupancy::kNobody: level = request.level; break;  // the first opener decides
    case Occupancy::kPageLevel: level = LockingMode::kPage; break;
    case Occupancy::kRecordLevel: level = LockingMode::kRecord; break;
    case Occupancy::kExclusive: return JetError(kJetErrFileInUse, path);
    default: return JetError(kJetErrCouldNotLock);
  }

  // Where locks stay on this computer no slot can be known to be free (another computer's
  // user lock is invisible), so the lock file is neither created nor written: the session
  // is there through its presence on the database alone, which this computer's other
  // connections still see.
  std::optional<LockFileSlot> slot;
  const NameAt lockFile = found.lockFile();
  while (found.mount.seen()) {
    Status failure;
    const LockFileSlot::Outcome outcome =
        LockFileSlot::Claim(lockFile, path, fd.get(), info, request.userName,
                            level == LockingMode::kRecord, &slot, &failure);
    if (outcome == LockFileSlot::Outcome::kClaimed) break;
    if (outcome == LockFileSlot::Outcome::kNoLockFile) break;
    if (outcome == LockFileSlot::Outcome::kFull) {
      // This process is listed already: a further connection of it joins on presence alone.
      if (SlotHeldHere(FileId{info.st_dev, info.st_ino})) break;
      return JetError(kJetErrCouldNotLock);
    }
    if (outcome == LockFileSlot::Outcome::kFailed) return failure;
    if (Clock::now() >= deadline) return JetError(kJetErrCouldNotLock);
    std::this_thread::sleep_for(kRetryPause);  // a Kill is finishing its unlink
  }

  // A slot's mark is its connection's presence and mode; one without a lock file or slot says
  // so with a read lock on the exclusive byte, and the record byte in a record-level session.
  const ByteRange presence{kExclusive, level == LockingMode::kRecord ? 2 : 1};
  if (!slot && TryLock(fd.get(), F_RDLCK, presence) != 0) return JetError(kJetErrCouldNotLock);
  // A read-only joiner shares the gate with its like: it looks again now that it is there.
  if (!found.writable && RivalThere(fd.get(), level)) {
    if (slot) slot->Leave(/*mayDelete=*/true);
    return JetError(kJetErrCouldNotLock);
  }
  (void)Unlock(fd.get(), kGateRange);
  const bool slotted = slot.has_value();
  const FileId file{info.st_dev, info.st_ino};
  session->reset(new JetSession(std::move(found), level, std::move(slot)));
  if (slotted) {
    (*session)->file_ = file;
    CountSlotHere(file, +1);
  }
  return Status::OK();
}

// With a read-only descriptor, which can take read locks only, the gate is taken shared and
// the read-only exclusive byte stands for the exclusive one: see "read-only exclusive" in
// LockProtocol.h for why rivals that slip in together give up.
Status JetSession::OpenExclusive(const JetOpenRequest& request, Found found,
                                 std::unique_ptr<JetSession>* session) {
  const std::string& path = found.path;
  const UniqueFd& fd = found.database;
  if (!AcquireGate(fd.get(), found.writable ? F_WRLCK : F_RDLCK))
    return JetError(kJetErrCouldNotLock);
  const Occupancy occupancy = WhoIsThere(fd.get());
  if (occupancy == Occupancy::kUnknown) return JetError(kJetErrCouldNotLock);
  if (occupancy != Occupancy::kNobody || AnotherEngineThere(found.lockFile(), fd.get()))
    return JetError(kJetErrFileInUse, path);
  if (found.writable) {
    if (TryLock(fd.get(), F_WRLCK, kExclusiveRange) != 0) return JetError(kJetErrCouldNotLock);
  } else {
    posix::LockHolder rival;  // anyone at all: a read-only exclusive or read-only joiner
    if (TryLock(fd.get(), F_RDLCK, kReadOnlyExclusiveRange) != 0 ||
        posix::TestLock(fd.get(), F_WRLCK, kState, &rival) != 0)
      return JetError(kJetErrCouldNotLock);
    if (rival.held()) return JetError(kJetErrFileInUse, path);
  }
  (void)Unlock(fd.get(), kGateRange);
  session->reset(new JetSession(std::move(found), request.level, std::nullopt));
  return Status::OK();
}

bool JetSession::AnotherEngineThere(const NameAt& lockFile, int databaseFd) {
  return AnotherEngineInDatabase(databaseFd) || OthersHaveOpen(databaseFd) ||
         AnotherEngineInLockFileAt(lockFile, databaseFd);
}

bool JetSession::AnotherEnginePresent() const {
  if (!database_.valid()) return false;
  // A connection of ours joining or leaving holds a mark without its user lock for a
  // moment; under the gate (taken shared: it only has to keep joiners and leavers out)
  // every slot of ours is whole. If the gate cannot be had, nothing can be known.
  if (!AcquireGate(database_.get(), F_RDLCK)) return true;
  const bool foreign = AnotherEngineInDatabase(database_.get()) || OthersHaveOpen(database_info_) ||
                       (slot_ ? AnotherEngineInLockFile(slot_->fd(), database_.get()) ||
                                    OthersHaveOpen(slot_->info())
                              : AnotherEngineInLockFileAt(lockFile_, database_.get()));
  (void)Unlock(database_.get(), kGateRange);
  return foreign;
}

void JetSession::Close() {
  if (!database_.valid()) return;
  if (slot_) {
    CountSlotHere(file_, -1);
    // "leave" in LockProtocol.h: without the gate, leave without deleting; nor while a
    // client of a Samba server here has either file open without a lock to show it.
    const bool gate = AcquireGate(database_.get(), F_WRLCK);
    const OtherOpeners onLockFile = OtherOpenersOf(slot_->info());
    slot_->Leave(/*mayDelete=*/gate && !OthersHaveOpen(database_info_) && !onLockFile.any(),
                 onLockFile);
    slot_.reset();
  }
  database_.reset();  // drops the mark, record level and the gate in one step
}

Status ExamineDatabaseFile(const std::string& path) {
  ExaminedDatabase examined;
  return ExamineDatabaseFile(path, &examined);
}

Status ExamineDatabaseFile(const std::string& path, ExaminedDatabase* examined,
                           DatabaseRecognizer recognizes) {
  if (recognizes == nullptr) recognizes = IsJetDatabase;
  if (path.empty() || path.find('\0') != std::string::npos)
    return JetError(kJetErrInvalidPath, path);
  examined->folder = FolderOf(path);
  if (!examined->folder.valid()) return FolderError(path, examined->folder.error());
  const LookedAt looked = LookAt(examined->folder.entry(), /*followLink=*/true);
  if (looked.error != 0) return DatabaseOpenError(path, looked.error);
  examined->info = looked.info;
  if (!S_ISREG(looked.info.st_mode)) return NotADatabaseFile(path, looked.info);
  examined->fd = OpenLooked(looked, O_RDONLY);
  if (!examined->fd.valid()) {  // one it may not read: cannot tell
    return posix::Classify(errno) == posix::Failure::kTooManyOpen
               ? OpenFailure(errno, kJetErrCannotOpen, path)
               : Status::OK();
  }
  return recognizes(examined->fd.get(), looked.info.st_size)
             ? Status::OK()
             : JetError(kJetErrUnrecognizedFormat, path);
}

}  // namespace quillet
