#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/base/Status.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/FolderFiles.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/LockingMode.h"

namespace quillet {

// Takes the database's gate (LockProtocol.h) with a lock of `type` through `databaseFd`,
// waiting at most 3 s. False if it could not be had.
bool AcquireGate(int databaseFd, short type);

struct JetOpenRequest {
  // What a first opener puts the database in: page or record.
  LockingMode level = LockingMode::kPage;
  bool exclusive = false;
  bool readOnly = false;
  std::string userName = "Admin";  // the Jet default account, written to the lock file
};

// One connection's hold on a database file: its own open file description of the
// database (and of the lock file), through which it holds its byte-range locks. How they
// are laid out and taken is told once, in LockProtocol.h.
class JetSession {
 public:
  static Status Open(const std::string& path, const JetOpenRequest& request,
                     std::unique_ptr<JetSession>* session);

  ~JetSession();
  JetSession(const JetSession&) = delete;
  JetSession& operator=(const JetSession&) = delete;

  // Leaves the database: gives up the lock-file slot (deleting the lock file if this was
  // the last connection in it) and every lock. Safe to call more than once.
  void Close();
  bool IsOpen() const { return database_.valid(); }

  const std::string& Path() const { return path_; }
  LockingMode Level() const { return level_; }  // page or record
  // The mount the database lives on and who sees its locks. Where they stay on this
  // computer the session holds no lock-file slot and nobody here can know the mode.
  const MountLocks& Mount() const { return mount_; }
  // Whether a connection of another engine (Jet through Samba, under Wine, ...) has the
  // database open now, or the locks that would tell could not be read: either way nobody
  // here can know the mode in effect.
  bool AnotherEnginePresent() const;

  using FileId = std::pair<dev_t, ino_t>;

 private:
  // What an open found before it joins: the database's folder, opened once (the lock file is
  // named in it for the session's life), and the database in it, opened.
  struct Found {
    explicit Found(const std::string& databasePath) : path(databasePath), folder(databasePath) {}
    std::string path;
    FolderOf folder;
    UniqueFd database;
    struct stat info {};
    bool writable = true;
    MountLocks mount;
    NameAt lockFile() const { return folder.at(LockFilePath(folder.name())); }
  };
  static Status Find(Found* found);

  JetSession(Found found, LockingMode level, std::optional<LockFileSlot> slot);
  static bool AnotherEngineThere(const NameAt& lockFile, int databaseFd);

  static Status JoinShared(const JetOpenRequest& request, Found found,
                           std::unique_ptr<JetSession>* session);
  static Status OpenExclusive(const JetOpenRequest& request, Found found,
                              std::unique_ptr<JetSession>* session);

  std::string path_;
  LockingMode level_;
  MountLocks mount_;
  FolderOf folder_;
  NameAt lockFile_;  // in folder_
  UniqueFd database_;
  std::optional<LockFileSlot> slot_;
  FileId file_{};                 // the database's, while slot_ holds a slot
  struct stat database_info_ {};  // as it was opened: its device and inode do not change
};

// What JetSession::Open says of a path that is no database (3024 or 3044 for a path that
// leads nowhere or to a folder, 3343 for another kind of file), for whoever reads about a
// database without joining it. OK for a Jet database, and for a file it may not read.
Status ExamineDatabaseFile(const std::string& path);
// The same, keeping for its reader what it opened: the folder, once, and the database, read
// only (left invalid where it may not be read), with its fstat.
struct ExaminedDatabase {
  FolderOf folder;
  UniqueFd fd;
  struct stat info {};
};
// What a database's first bytes must be: a Jet one's (IsJetDatabase) unless said otherwise.
using DatabaseRecognizer = bool (*)(int fd, off_t fileSize);
Status ExamineDatabaseFile(const std::string& path, ExaminedDatabase* examined,
                           DatabaseRecognizer recognizes = nullptr);

}  // namespace quillet
