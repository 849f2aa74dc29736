#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace quillet::test {

enum class JetVersion { Jet3, Jet4 };

// A minimal database the engine accepts: the header page, padded to `pages` pages.
QByteArray JetDatabaseBytes(JetVersion version = JetVersion::Jet4, int pages = 3,
                            const char* engineName = "Standard Jet DB");

// An Access 2010 database's header page (ACE format 0x03), padded to three pages of 4096 bytes.
QByteArray AceDatabaseBytes();

// A lock file's 64-byte record as Jet writes it: computer and account, 32 bytes each, padded.
QByteArray JetRecord(const QByteArray& computer, const QByteArray& account, char pad = '\0');

// The path of the quilletctl binary under test (from the QUILLETCTL variable CTest sets).
QString QuilletctlPath();

// Another workstation: quilletctl with these arguments, as uid if given, inChild run in the
// child, in workingDirectory; its two output streams kept apart.
class OtherProcess : public QProcess {
 public:
  static constexpr uid_t kNobody = 65534;
  explicit OtherProcess(const std::vector<std::string>& args, uid_t uid = uid_t(-1),
                        const std::function<void()>& inChild = {},
                        const std::string& workingDirectory = {});
  ~OtherProcess() override { stop(); }
  std::string line();              // the first line it prints; "" if it ends or 10 s pass first
  std::string output();            // everything it printed on standard output, once it has ended
  std::string errors();            // everything it printed on standard error, once it has ended
  int stop(int signal = SIGTERM);  // the exit code; -1 if it died of a signal

 protected:
  OtherProcess() = default;
};

// Another engine as its locks show it: ForeignJetPeer.cpp with these arguments (usage there).
// Stopped, it leaves its record behind, as an engine that went away.
class ForeignPeer : public OtherProcess {
 public:
  explicit ForeignPeer(const QStringList& args) : ForeignPeer("FOREIGN_JET_PEER", args) {}
  bool ready() const { return ready_; }

 protected:
  ForeignPeer(const char* programVariable, const QStringList& args);

 private:
  bool ready_ = false;
};

// The filesystem type of the mount a path is on, as findmnt (not this program) reads it.
QString FindmntType(const std::string& path);

// A folder through a bindfs mount, as sshfs or gvfs show a share: locks through the view and
// on the folder do not see each other. Unmounted when it goes.
class FuseView {
 public:
  static bool Possible();  // whether this machine has FUSE at all
  explicit FuseView(const std::string& folder);
  ~FuseView();
  FuseView(const FuseView&) = delete;
  FuseView& operator=(const FuseView&) = delete;

  bool mounted() const { return mounted_; }
  std::string file(const std::string& name) const { return mountPoint_ + "/" + name; }
  const std::string& mountPoint() const { return mountPoint_; }

 private:
  std::string mountPoint_;
  bool mounted_ = false;
};

// `count` connections of this engine in one other process, asking for `mode`: EngineCrowd.cpp.
class EngineCrowd : public ForeignPeer {
 public:
  EngineCrowd(const std::string& database, int count, const QString& mode = "page")
      : ForeignPeer("ENGINE_CROWD",
                    {QString::fromStdString(database), QString::number(count), mode}) {}
};

}  // namespace quillet::test
