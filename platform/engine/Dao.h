#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/Status.h"

namespace quillet {

inline constexpr int32_t dbFreeLocks = 1;

class JetSession;  // one connection's hold on a database file (engine internals)

// A DAO Database. It holds the file from OpenDatabase until Close, or until the last
// reference is released, whichever comes first.
class Database {
 public:
  explicit Database(std::unique_ptr<JetSession> session);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The path under which the file was opened (bytes, as given to OpenDatabase).
  const std::string& Name() const { return name_; }
  bool IsOpen() const;
  // May block up to 3 s waiting for another connection's join or leave (LockProtocol.h);
  // the file is let go of whatever happens.
  Status Close();

 private:
  std::string name_;
  std::unique_ptr<JetSession> session_;
};

using DatabasePtr = std::shared_ptr<Database>;

struct DaoOpenOptions {
  bool exclusive = false;  // DAO's Options = True
  bool readOnly = false;
};

// The DAO engine: created on first use, lives until the program ends.
class DBEngine {
 public:
  static DBEngine& Instance();

  // Opens the file as a shared (or exclusive) connection. A shared first opener puts the
  // database into page-level locking; later openers join the mode in effect. On failure
  // *database is left as it was, as a failed assignment leaves its target. May block up to
  // 5 s in all when other connections keep joining, leaving or deleting the lock file
  // (LockProtocol.h); microseconds when nobody misbehaves.
  Status OpenDatabase(const std::string& path, DatabasePtr* database,
                      const DaoOpenOptions& options = {});

  // dbFreeLocks: releases the transient read locks the engine holds (it keeps none
  // between calls, so this only validates the argument).
  Status Idle(int32_t action);

 private:
  DBEngine() = default;
};

}  // namespace quillet
