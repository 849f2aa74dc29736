#include "support/Fixtures.h"

#include <grp.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace quillet::test {

QByteArray JetDatabaseBytes(JetVersion version, int pages, const char* engineName) {
  const int pageSize = version == JetVersion::Jet3 ? 2048 : 4096;
  QByteArray bytes(pageSize * pages, '\0');
  bytes[1] = 0x01;  // page type 00 01: the database definition page
  const QByteArray name(engineName);
  for (int i = 0; i < name.size() && i < 16; ++i) bytes[4 + i] = name[i];
  bytes[0x14] = version == JetVersion::Jet3 ? 0x00 : 0x01;
  return bytes;
}

QByteArray AceDatabaseBytes() {
  QByteArray bytes = JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB");
  bytes[0x14] = 0x03;
  return bytes;
}

QByteArray JetRecord(const QByteArray& computer, const QByteArray& account, char pad) {
  return computer.leftJustified(32, pad) + account.leftJustified(32, pad);
}

QString QuilletctlPath() {
  const QString path = qEnvironmentVariable("QUILLETCTL");
  if (path.isEmpty()) qFatal("QUILLETCTL is not set; run the tests through ctest");
  return path;
}

namespace {

// Another user cannot run the binary in a checkout only its owner may enter (under /root):
// it runs a copy in a world-readable folder made once per test process. "" if that failed.
QString QuilletctlForOtherUsers() {
  static QTemporaryDir folder;
  static const QString path = [] {
    const QString source = QuilletctlPath(), target = folder.filePath("quilletctl");
    using P = QFileDevice;
    const P::Permissions everyone = P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup |
                                    P::ExeGroup | P::ReadOther | P::ExeOther;
    if (folder.isValid() && QFile::setPermissions(folder.path(), everyone) &&
        QFile::copy(source, target) && QFile::setPermissions(target, everyone))
      return target;
    qWarning("cannot run quilletctl as another user: no runnable copy of %s", qPrintable(source));
    return QString();
  }();
  return path;
}

}  // namespace

OtherProcess::OtherProcess(const std::vector<std::string>& args, uid_t uid,
                           const std::function<void()>& inChild,
                           const std::string& workingDirectory) {
  QString program = QuilletctlPath();
  if (uid != uid_t(-1)) {
    program = QuilletctlForOtherUsers();
    if (program.isEmpty()) return;                   // never started: output and errors stay empty
    setWorkingDirectory(QFileInfo(program).path());  // the test's own may be out of its reach
    setChildProcessModifier([uid] {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
          ::setresuid(uid, uid, uid) != 0)
        ::_exit(126);
    });
  } else if (inChild) {
    setChildProcessModifier(inChild);
  }
  if (!workingDirectory.empty())
    setWorkingDirectory(QFile::decodeName(QByteArray::fromStdString(workingDirectory)));
  QStringList arguments;
  for (const std::string& arg : args) arguments << QString::fromStdString(arg);
  start(program, arguments);
}

std::string OtherProcess::line() {
  while (!canReadLine() && waitForReadyRead(10000)) {
  }
  return canReadLine() ? readLine().chopped(1).toStdString() : std::string();
}

std::string OtherProcess::output() {
  stop(0);
  return readAllStandardOutput().toStdString();
}

std::string OtherProcess::errors() {
  stop(0);
  return readAllStandardError().toStdString();
}

int OtherProcess::stop(int signal) {
  if (signal != 0 && state() == Running) ::kill(pid_t(processId()), signal);
  if (state() != NotRunning && !waitForFinished(10000)) kill();
  waitForFinished();
  return exitStatus() == NormalExit ? exitCode() : -1;
}

ForeignPeer::ForeignPeer(const char* programVariable, const QStringList& args) {
  const QString program = qEnvironmentVariable(programVariable);
  if (program.isEmpty()) qFatal("%s is not set; run the tests through ctest", programVariable);
  start(program, args);
  ready_ = line() == "ready";
}

QString FindmntType(const std::string& path) {
  QProcess findmnt;
  findmnt.start("findmnt", {"-n", "-o", "FSTYPE", "-T", QString::fromStdString(path)});
  findmnt.waitForFinished();
  return QString::fromUtf8(findmnt.readAllStandardOutput()).trimmed();
}

bool FuseView::Possible() { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

FuseView::FuseView(const std::string& folder)
    : mountPoint_(QDir::tempPath().toStdString() + "/quillet-view-XXXXXX") {
  if (!::mkdtemp(mountPoint_.data())) qFatal("cannot create a mount point");
  mounted_ = QProcess::execute("bindfs", {QString::fromStdString(folder),
                                          QString::fromStdString(mountPoint_)}) == 0;
}

FuseView::~FuseView() {
  if (mounted_) QProcess::execute("fusermount3", {"-u", "-z", QString::fromStdString(mountPoint_)});
  ::rmdir(mountPoint_.c_str());
}

}  // namespace quillet::test
