#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <memory>
#include <string>

namespace quillet::test {

enum class JetVersion { Jet3, Jet4 };

// The bytes of a minimal database file the engine accepts: a header page with the engine
// name and version byte, padded to `pages` pages (Jet 3: 2048 bytes, Jet 4: 4096).
QByteArray JetDatabaseBytes(JetVersion version = JetVersion::Jet4, int pages = 3,
                            const char* engineName = "Standard Jet DB");

// Writes `bytes` to dir/name and returns the full path. Fails the test on error.
QString WriteFile(const QString& dir, const QString& name, const QByteArray& bytes);
QString WriteJetDatabase(const QString& dir, const QString& name,
                         JetVersion version = JetVersion::Jet4);

// The path of the quilletctl binary under test (from the QUILLETCTL variable CTest sets).
QString QuilletctlPath();

// Another workstation: a quilletctl process holding a database until it is stopped.
class Holder {
 public:
  // args: extra options such as "--record", "--page", "--exclusive".
  explicit Holder(const QString& database, const QStringList& args = {});
  ~Holder();  // stops the holder with SIGTERM if it still runs

  // True once the process announced that it holds the file (within timeoutMs).
  bool waitUntilHolding(int timeoutMs = 10000);
  // Ends it the clean way (SIGTERM) and waits; returns the exit code.
  int stop();
  // Ends it the crash way: SIGKILL, no clean-up.
  void kill();
  QString standardError() const;
  QProcess& process() { return *process_; }

 private:
  std::unique_ptr<QProcess> process_;
  QByteArray output_;
};

}  // namespace quillet::test
