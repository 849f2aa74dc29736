#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <optional>
#include <string>
#include <vector>

#include "platform/Status.h"
#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"
#include "support/Fixtures.h"

namespace quillet::test {

// A temporary folder addressed by byte paths; the engine takes paths as bytes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();  // removes what QTemporaryDir cannot: names that are not UTF-8
  bool valid() const { return dir_.isValid(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes a minimal Jet database (or any bytes) under name; returns its path.
  std::string database(const std::string& name, JetVersion version = JetVersion::Jet4) const;
  std::string write(const std::string& name, const QByteArray& bytes) const;
  // Lets other users (uid 65534) into the folder: QTemporaryDir makes it 0700.
  void openToEveryone() const;

 private:
  QTemporaryDir dir_;
  std::string path_;
};

bool Exists(const std::string& path);  // lstat: a dangling symlink exists too
off_t SizeOf(const std::string& path);  // -1 if missing
mode_t ModeOf(const std::string& path);  // permission bits
QByteArray ReadBytes(const std::string& path);

// Opens through DAO / through ADO the way the window and the probe do. The ADO helper
// asks for lockingMode (-1: leave the property alone) and sets adoMode.
Status OpenDao(const std::string& path, DatabasePtr* database, bool exclusive = false,
               bool readOnly = false);
Status OpenAdo(Connection& connection, const std::string& path, int32_t lockingMode,
               int32_t adoMode = adModeUnknown);
// The locking mode an open connection reports, or -100 if it cannot be read.
int32_t ModeOf(const Connection& connection);

// Another workstation: a quilletctl process started with byte arguments (names need not
// be UTF-8), optionally as another user. Stopped with SIGTERM when destroyed.
class OtherProcess {
 public:
  static constexpr uid_t kSameUser = static_cast<uid_t>(-1);
  static constexpr uid_t kNobody = 65534;

  explicit OtherProcess(const std::vector<std::string>& args, uid_t uid = kSameUser);
  ~OtherProcess();
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;

  // The first line on standard output, once it is there; nullopt if the process ended or
  // the time ran out first.
  std::optional<std::string> firstLine(int timeoutMs = 10000);
  // Waits for the end (without signalling) and returns the exit code (-signal if killed).
  int wait(int timeoutMs = 10000);
  int stop();  // SIGTERM, then wait
  void kill();  // SIGKILL, then wait
  std::string standardError();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
  std::optional<int> exitCode_;
};

std::string Quilletctl();

}  // namespace quillet::test
