#include "platform/registry/SqliteStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "platform/base/PathNames.h"
#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/registry/KeyName.h"

namespace quillet::registry {

using namespace winreg;

namespace {

// Marks a file as a store of ours ("QLRG" in the SQLite header), so that a foreign
// database found at the store's path is recognised and never written into.
constexpr int64_t kApplicationId = 0x514C5247;
// How long a write waits for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema =
    "CREATE TABLE keys("
    "  root TEXT NOT NULL,"    // HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, ...
    "  folded TEXT NOT NULL,"  // the key path case-folded: what lookups compare
    "  path TEXT NOT NULL,"    // the key path as first created
    "  PRIMARY KEY (root, folded)) WITHOUT ROWID;"
    "CREATE TABLE vals("
    "  root TEXT NOT NULL,"
    "  key TEXT NOT NULL,"     // the folded path of the key holding the value
    "  folded TEXT NOT NULL,"  // the value name case-folded
    "  name TEXT NOT NULL,"    // the value name as first written
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY (root, key, folded)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;";

constexpr const char* kInsertKey =
    "INSERT OR IGNORE INTO keys(root, folded, path) VALUES (?, ?, ?)";
constexpr const char* kSelectKey = "SELECT 1 FROM keys WHERE root = ? AND folded = ?";
constexpr const char* kSelectValue =
    "SELECT type, data FROM vals WHERE root = ? AND key = ? AND folded = ?";
constexpr const char* kUpsertValue =
    "INSERT INTO vals(root, key, folded, name, type, data) VALUES (?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(root, key, folded) DO UPDATE SET type = excluded.type, data = excluded.data";
constexpr const char* kDeleteValue = "DELETE FROM vals WHERE root = ? AND key = ? AND folded = ?";
// Every statement the store runs on its tables.
constexpr const char* kStatements[] = {kInsertKey, kSelectKey, kSelectValue, kUpsertValue,
                                       kDeleteValue};

LONG ToStatus(int sqliteCode) {
  switch (sqliteCode & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return ERROR_ACCESS_DENIED;
    // The registry limits a value only by the memory it has, so a value longer than the
    // store keeps is refused as the registry refuses one beyond its memory.
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG: return ERROR_OUTOFMEMORY;
    default:  // busy beyond the timeout, I/O error, full disk
      return ERROR_REGISTRY_IO_FAILED;
  }
}

LONG FromErrno(int error) {
  return posix::IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
}

// SQLite opens the store and its journal through the engine's seam too, so that a test can
// refuse them as the system refuses a file this process may not write.
int OpenForSqlite(const char* path, int flags, int mode) {
  return posix::Open(path, flags, static_cast<mode_t>(mode));
}

void RouteSqliteOpens() {
  static const bool routed = [] {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    return vfs != nullptr && vfs->iVersion >= 3 &&
           vfs->xSetSystemCall(vfs, "open",
                               reinterpret_cast<sqlite3_syscall_ptr>(&OpenForSqlite)) == SQLITE_OK;
  }();
  (void)routed;
}

class Database {
 public:
  Database() = default;
  ~Database() { sqlite3_close_v2(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Never creates the file: a reader must not, and a writer has created it beforehand
  // with its permissions. READWRITE falls back to read-only for a file this process may
  // not write, and lets a reader roll back the journal a killed writer left behind.
  int Open(const std::string& path) {
    RouteSqliteOpens();
    const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    return rc;
  }
  bool ReadOnly() const { return sqlite3_db_readonly(db_, "main") == 1; }
  int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  int Changes() const { return sqlite3_changes(db_); }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(const Database& db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // The 64-bit binds take the whole size: one longer than SQLite keeps (SQLITE_LIMIT_LENGTH)
  // is refused with SQLITE_TOOBIG before anything is copied, where a size narrowed to int
  // would store a shortened value as if whole.
  Statement& Text(std::string_view text) {
    if (rc_ == SQLITE_OK) {
      rc_ = sqlite3_bind_text64(stmt_, ++bound_, text.data(), text.size(), SQLITE_TRANSIENT,
                                SQLITE_UTF8);
    }
    return *this;
  }
  Statement& Blob(std::string_view bytes) {
    // A null pointer would bind NULL, not an empty value.
    if (rc_ == SQLITE_OK) {
      rc_ = sqlite3_bind_blob64(stmt_, ++bound_, bytes.empty() ? "" : bytes.data(), bytes.size(),
                                SQLITE_TRANSIENT);
    }
    return *this;
  }
  Statement& Int(int64_t value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, ++bound_, value);
    return *this;
  }
  int Prepared() const { return rc_; }
  int Step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }
  int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string ColumnBytes(int column) const {
    const void* bytes = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes == nullptr ? std::string() : std::string(static_cast<const char*>(bytes), size);
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
  int bound_ = 0;
};

bool FolderWritable(const std::string& folder) { return posix::Access(folder, W_OK | X_OK) == 0; }

// Creates the missing folders of the store's path, private to the user.
LONG CreateFolders(const std::string& folder) {
  struct stat info;
  const int error = posix::Stat(folder, &info);
  if (error == 0) return S_ISDIR(info.st_mode) ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  if (error != ENOENT) return FromErrno(error);
  const std::string parent = ParentFolder(folder);
  if (parent != folder) {
    const LONG status = CreateFolders(parent);
    if (status != ERROR_SUCCESS) return status;
  }
  const int made = posix::Mkdir(folder, 0700);
  if (made != 0 && made != EEXIST) return FromErrno(made);
  return ERROR_SUCCESS;
}

// Creates an empty store file readable by its owner only. SQLite gives its journal the
// database file's permissions, so the journal is private too. An existing file is left
// as it is.
LONG CreateStoreFile(const std::string& path) {
  const LONG status = CreateFolders(ParentFolder(path));
  if (status != ERROR_SUCCESS) return status;
  const UniqueFd fd(posix::Open(path, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd.valid()) return errno == EEXIST ? ERROR_SUCCESS : FromErrno(errno);
  (void)posix::Fchmod(fd.get(), 0600);  // the umask may only have narrowed it
  return ERROR_SUCCESS;
}

std::string CorruptName(const std::string& path) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string target = path + ".corrupt-" + stamp;
  struct stat info;
  for (int n = 2; posix::Lstat(target, &info) == 0; ++n) {
    target = path + ".corrupt-" + stamp + "-" + std::to_string(n);
  }
  return target;
}

// Moves the damaged file (and any journal of it) out of the way, but only if the path
// still names the file found damaged: another copy of the program may already have
// moved it and started a fresh store there, which must not be moved in turn. The lock
// on the folder makes the check and the move one step for every copy of the program.
bool MoveAside(const std::string& path, const struct stat& damaged) {
  const UniqueFd folder(posix::Open(ParentFolder(path), O_RDONLY | O_DIRECTORY));
  if (!folder.valid()) return false;
  bool moved = false;
  if (posix::Flock(folder.get(), LOCK_EX) == 0) {
    struct stat now;
    if (posix::Lstat(path, &now) == 0 && posix::SameFile(now, damaged)) {
      // Its journal first: while the damaged file still holds the name, no copy of the
      // program can start a fresh store (and a journal of its own) there.
      const std::string target = CorruptName(path);
      for (const char* companion : {"-journal", "-wal", "-shm"}) {
        (void)posix::Rename(path + companion, target + companion);
      }
      moved = posix::Rename(path, target) == 0;
    } else {
      moved = true;  // already replaced: try again on the new file
    }
    (void)posix::Flock(folder.get(), LOCK_UN);
  }
  return moved;
}

// Whether every statement of the store compiles against the file's schema. One that does
// not (SQLITE_ERROR: a table dropped, renamed or reshaped by hand) would fail on every
// read and write for good, so such a store is as damaged as one with wrecked pages.
LONG CheckSchema(const Database& db) {
  for (const char* sql : kStatements) {
    const int rc = Statement(db, sql).Prepared();
    if (rc != SQLITE_OK) return rc == SQLITE_ERROR ? ERROR_BADDB : ToStatus(rc);
  }
  return ERROR_SUCCESS;
}

// Whether the open file is a store of ours that can serve; *empty when it holds nothing
// yet (a fresh or zero-length file). Anything else is ERROR_BADDB.
LONG Identify(const Database& db, bool* empty) {
  Statement id(db, "PRAGMA application_id");
  int rc = id.Step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_BADDB : ToStatus(rc);
  const int64_t application = id.ColumnInt(0);
  *empty = false;
  if (application == kApplicationId) return CheckSchema(db);
  if (application != 0) return ERROR_BADDB;
  Statement tables(db, "SELECT count(*) FROM sqlite_schema");
  rc = tables.Step();
  if (rc != SQLITE_ROW) return ToStatus(rc);
  if (tables.ColumnInt(0) != 0) return ERROR_BADDB;  // another program's database
  *empty = true;
  return ERROR_SUCCESS;
}

// Runs work against an existing store. A store that does not exist yet holds nothing.
template <typename Work>
LONG Read(const std::string& path, Work work) {
  struct stat info;
  if (const int error = posix::Stat(path, &info); error != 0) {
    return (error == ENOENT || error == ENOTDIR) ? ERROR_FILE_NOT_FOUND : FromErrno(error);
  }
  if (!S_ISREG(info.st_mode)) return ERROR_BADDB;
  Database db;
  const int rc = db.Open(path);
  if (rc != SQLITE_OK) return ToStatus(rc);
  bool empty = false;
  const LONG status = Identify(db, &empty);
  if (status != ERROR_SUCCESS) return status;
  if (empty) return ERROR_FILE_NOT_FOUND;
  return work(db);
}

template <typename Work>
LONG WriteOnce(const std::string& path, Work work) {
  Database db;
  int rc = db.Open(path);
  if (rc != SQLITE_OK) return ToStatus(rc);
  if (db.ReadOnly()) return ERROR_ACCESS_DENIED;
  // IMMEDIATE takes the write lock at once: two writers that both began by reading
  // would otherwise meet a deadlock that no busy timeout resolves.
  rc = db.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return ToStatus(rc);
  bool empty = false;
  LONG status = Identify(db, &empty);
  if (status == ERROR_SUCCESS && empty) {
    const std::string mark = "PRAGMA application_id = " + std::to_string(kApplicationId);
    status = ToStatus(db.Exec(kSchema));
    if (status == ERROR_SUCCESS) status = ToStatus(db.Exec(mark.c_str()));
  }
  if (status == ERROR_SUCCESS) status = work(db);
  if (status == ERROR_SUCCESS) status = ToStatus(db.Exec("COMMIT"));
  if (status != ERROR_SUCCESS) db.Exec("ROLLBACK");
  return status;
}

bool StillNames(const std::string& path, const struct stat& seen) {
  struct stat now;
  return posix::Stat(path, &now) == 0 && posix::SameFile(now, seen);
}

// Runs work in one write transaction, creating the store first when create is set. A
// damaged store is moved aside (once) and the work done again on a fresh one; so is
// the work of a copy of the program that finds the file replaced under it because
// another copy moved it aside at the same moment.
template <typename Work>
LONG Write(const std::string& path, bool create, Work work) {
  constexpr int kAttempts = 3;
  bool movedAside = false;
  LONG status = ERROR_REGISTRY_IO_FAILED;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (create) {
      status = CreateStoreFile(path);
      if (status != ERROR_SUCCESS) return status;
    }
    struct stat seen;
    if (const int error = posix::Stat(path, &seen); error != 0) {
      return (error == ENOENT || error == ENOTDIR) ? ERROR_FILE_NOT_FOUND : FromErrno(error);
    }
    // A folder or other non-file in the store's place was put there by someone: leave it.
    if (!S_ISREG(seen.st_mode)) return ERROR_BADDB;
    status = WriteOnce(path, work);
    if (status == ERROR_SUCCESS) return status;
    if (status == ERROR_BADDB && !movedAside) {
      if (!MoveAside(path, seen)) return status;
      movedAside = true;
    } else if (StillNames(path, seen)) {
      return status;
    }
  }
  return status;
}

LONG InsertKeyLevels(const Database& db, const KeyAddress& key) {
  for (size_t count = 1; count <= key.levels.size(); ++count) {
    Statement insert(db, kInsertKey);
    insert.Text(key.root)
        .Text(JoinKeyLevels(key.levels, count, true))
        .Text(JoinKeyLevels(key.levels, count, false));
    const int rc = insert.Step();
    if (rc != SQLITE_DONE) return ToStatus(rc);
  }
  return ERROR_SUCCESS;
}

std::string FoldedPath(const KeyAddress& key) {
  return JoinKeyLevels(key.levels, key.levels.size(), true);
}

}  // namespace

LONG SqliteStore::KeyExists(const KeyAddress& key) const {
  if (key.levels.empty()) return ERROR_SUCCESS;
  return Read(path_, [&](const Database& db) -> LONG {
    Statement select(db, kSelectKey);
    select.Text(key.root).Text(FoldedPath(key));
    const int rc = select.Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ToStatus(rc);
  });
}

LONG SqliteStore::CreateKey(const KeyAddress& key) const {
  if (key.levels.empty()) return ERROR_SUCCESS;
  return Write(path_, true, [&](const Database& db) { return InsertKeyLevels(db, key); });
}

LONG SqliteStore::QueryValue(const KeyAddress& key, std::string_view name, DWORD* type,
                             std::string* data) const {
  return Read(path_, [&](const Database& db) -> LONG {
    Statement select(db, kSelectValue);
    select.Text(key.root).Text(FoldedPath(key)).Text(FoldCase(name));
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return ToStatus(rc);
    *type = static_cast<DWORD>(select.ColumnInt(0));
    *data = select.ColumnBytes(1);
    return ERROR_SUCCESS;
  });
}

LONG SqliteStore::SetValue(const KeyAddress& key, std::string_view name, DWORD type,
                           std::string_view data) const {
  return Write(path_, true, [&](const Database& db) -> LONG {
    const LONG status = InsertKeyLevels(db, key);
    if (status != ERROR_SUCCESS) return status;
    Statement upsert(db, kUpsertValue);
    upsert.Text(key.root).Text(FoldedPath(key)).Text(FoldCase(name)).Text(name);
    upsert.Int(type).Blob(data);
    return ToStatus(upsert.Step());
  });
}

LONG SqliteStore::DeleteValue(const KeyAddress& key, std::string_view name) const {
  return Write(path_, false, [&](const Database& db) -> LONG {
    Statement remove(db, kDeleteValue);
    remove.Text(key.root).Text(FoldedPath(key)).Text(FoldCase(name));
    const int rc = remove.Step();
    if (rc != SQLITE_DONE) return ToStatus(rc);
    return db.Changes() > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

bool SqliteStore::Writable() const {
  struct stat info;
  if (posix::Stat(path_, &info) == 0) {
    // The journal is created beside the file, so its folder must be writable too.
    return posix::Access(path_, W_OK) == 0 && FolderWritable(ParentFolder(path_));
  }
  // Not created yet: writable when the nearest folder that exists is.
  std::string folder = ParentFolder(path_);
  while (posix::Stat(folder, &info) == ENOENT) {
    const std::string parent = ParentFolder(folder);
    if (parent == folder) break;
    folder = parent;
  }
  return FolderWritable(folder);
}

}  // namespace quillet::registry
