#include "support/PrivateSamba.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QThread>
#include <csignal>

namespace quillet::test {

namespace {

constexpr char kSmbd[] = "/usr/sbin/smbd";
constexpr char kPython[] = "/usr/bin/python3";  // impacket is a Debian package

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port nobody listens on now (the kernel's pick), for smbd to take a moment later.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (fd >= 0) ::close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

bool Listens(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  const bool connected =
      fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return connected;
}

QString Configuration(const QString& root, int port, const QStringList& global) {
  QString text = QStringLiteral(
                     "[global]\n"
                     "  interfaces = lo\n  bind interfaces only = yes\n  smb ports = %2\n"
                     "  disable netbios = yes\n  server role = standalone server\n"
                     "  server min protocol = SMB2_02\n"
                     "  passdb backend = tdbsam:%1/private/passdb.tdb\n"
                     "  private dir = %1/private\n  lock directory = %1/lock\n"
                     "  state directory = %1/state\n  cache directory = %1/cache\n"
                     "  pid directory = %1/pid\n  ncalrpc dir = %1/ncalrpc\n"
                     "  log file = %1/log/smbd.log\n  log level = 1\n"
                     "  map to guest = Bad User\n  guest account = nobody\n"
                     "  load printers = no\n  printing = bsd\n  printcap name = /dev/null\n"
                     "  disable spoolss = yes\n  rpc start on demand helpers = no\n"
                     "  usershare max shares = 0\n")
                     .arg(root)
                     .arg(port);
  for (const QString& line : global) text += "  " + line + "\n";
  return text;
}

}  // namespace

QString PrivateSamba::Unavailable() {
  if (::geteuid() != 0) return "needs root: it starts smbd";
  if (!QFile::exists(kSmbd)) return "no smbd (Debian package samba)";
  if (QProcess::execute(kPython, {"-c", "import impacket"}) != 0)
    return "no impacket (Debian package python3-impacket)";
  return {};
}

PrivateSamba::PrivateSamba(const std::vector<PrivateShare>& shares, const QStringList& global) {
  const QString root = folder_.path();
  // The guest account (nobody) goes through it to the shares' folders.
  QFile::setPermissions(root, QFile::permissions(root) | QFile::ExeOther | QFile::ReadOther);
  for (const char* sub : {"private", "lock", "state", "cache", "pid", "ncalrpc", "log"})
    QDir(root).mkpath(sub);
  QString text = Configuration(root, port_ = FreePort(), global);
  for (const PrivateShare& share : shares) {
    const QString path = folder_.filePath("shares/" + share.name);
    QDir().mkpath(path);
    ::chmod(QFile::encodeName(path).constData(), 0777);
    text += "[" + share.name + "]\n  path = " + path +
            "\n  read only = no\n  guest ok = yes\n  guest only = yes\n";
    for (const QString& line : share.settings) text += "  " + line + "\n";
  }
  QFile file(configFile());
  if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) return;
  file.close();
  smbd_.setStandardOutputFile(folder_.filePath("log/stdout"));
  smbd_.setStandardErrorFile(folder_.filePath("log/stdout"));
  // A session of its own: smbd signals its whole process group when it stops.
  smbd_.setChildProcessModifier([] { ::setsid(); });
  smbd_.start(kSmbd, {"--foreground", "--no-process-group", "-s", configFile()});
  if (!smbd_.waitForStarted()) return;
  for (int waited = 0; port_ != 0 && waited < 15000; waited += 50) {
    if (smbd_.state() != QProcess::Running) break;
    if ((running_ = Listens(port_))) break;
    QThread::msleep(50);
  }
}

PrivateSamba::~PrivateSamba() {
  if (smbd_.state() == QProcess::NotRunning) return;
  ::kill(pid_t(smbd_.processId()), SIGTERM);
  if (!smbd_.waitForFinished(10000)) smbd_.kill();
  smbd_.waitForFinished();
}

QString PrivateSamba::log() const {
  QString text;
  for (const char* name : {"log/stdout", "log/smbd.log", "log/clients"}) {
    QFile file(folder_.filePath(name));
    if (file.open(QIODevice::ReadOnly)) text += QString::fromUtf8(file.readAll().right(2000));
  }
  return text;
}

std::string PrivateSamba::folder(const QString& share) const {
  return QFile::encodeName(folder_.filePath("shares/" + share)).toStdString();
}

std::unique_ptr<QProcess> PrivateSamba::startClient(const QString& script,
                                                    const QStringList& arguments) const {
  auto process = std::make_unique<QProcess>();
  process->setStandardErrorFile(folder_.filePath("log/clients"), QIODevice::Append);
  process->start(kPython, QStringList{QUILLET_INTEROP_SCRIPTS "/" + script, "127.0.0.1",
                                      QString::number(port_)} +
                              arguments);
  return process;
}

QByteArray PrivateSamba::client(const QString& script, const QStringList& arguments,
                                int timeoutMs) const {
  const std::unique_ptr<QProcess> process = startClient(script, arguments);
  process->closeWriteChannel();
  if (!process->waitForFinished(timeoutMs)) process->kill(), process->waitForFinished();
  return process->readAllStandardOutput();
}

}  // namespace quillet::test
