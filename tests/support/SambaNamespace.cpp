#include "support/SambaNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace quillet::test {

namespace {

// Run by sh in the new namespace: LAYERS SMBSTATUS UID.
constexpr char kSetUp[] = R"(set -e
umask 022
layers=$1 smbstatus=$2 uid=$3
mount -t tmpfs quillet-samba-layers "$layers"
for folder in /usr/bin /usr/sbin; do
  mkdir -p "$layers/upper$folder" "$layers/work$folder"
  mount -t overlay overlay \
    -o "lowerdir=$folder,upperdir=$layers/upper$folder,workdir=$layers/work$folder" "$folder"
done
cp "$smbstatus" /usr/bin/smbstatus
chmod 0755 /usr/bin/smbstatus
cp /usr/bin/sleep /usr/sbin/smbd
echo ready
exec setpriv --reuid="$uid" --regid="$uid" --clear-groups /usr/sbin/smbd 600
)";

QByteArray Comm(qint64 pid) {
  QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
  return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
}

}  // namespace

SambaNamespace::SambaNamespace(const std::string& smbstatus, uid_t uid) {
  if (::geteuid() != 0) {
    failure_ = "a mount namespace is made as root only";
    return;
  }
  smbd_.start("unshare", {"--mount", "--propagation", "private", "sh", "-c", kSetUp, "sh",
                          layers_.path(), QString::fromStdString(smbstatus), QString::number(uid)});
  while (!smbd_.canReadLine() && smbd_.waitForReadyRead(10000)) {
  }
  if (smbd_.readLine() != "ready\n") {
    smbd_.waitForFinished(1000);
    failure_ = "no mount namespace with Samba's stand-ins: " +
               QString::fromLocal8Bit(smbd_.readAllStandardError()).trimmed();
    return;
  }
  // The stand-in is there once the script has become it.
  const QDeadlineTimer deadline(10000);
  while (Comm(smbd_.processId()) != "smbd" && !deadline.hasExpired()) QThread::msleep(5);
  const QString path = QStringLiteral("/proc/%1/ns/mnt").arg(smbd_.processId());
  namespace_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (namespace_ < 0 || deadline.hasExpired()) failure_ = "the smbd stand-in did not start";
}

SambaNamespace::~SambaNamespace() {
  if (namespace_ >= 0) ::close(namespace_);
  smbd_.kill();
  smbd_.waitForFinished();
}

std::function<void()> SambaNamespace::entering(const std::string& folder) const {
  return [fd = namespace_, folder] {
    if (::setns(fd, CLONE_NEWNS) != 0 || ::chdir(folder.c_str()) != 0) ::_exit(126);
  };
}

}  // namespace quillet::test
