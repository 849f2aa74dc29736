#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "platform/base/Posix.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaFindings.h"

#include "tools/Commands.h"

namespace quilletctl {
namespace {
int lostOutputErrno = 0;  // the first failed write's errno; 0 while nothing was lost
}  // namespace

bool Print(const QByteArray& text) {
  if (lostOutputErrno != 0) return false;
  errno = 0;
  if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size()) ||
      std::fflush(stdout) != 0) {
    lostOutputErrno = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

QByteArray JsonLine(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QJsonValue ModeJson(quillet::LockingMode mode) {
  const bool runsIn = mode == quillet::LockingMode::kPage || mode == quillet::LockingMode::kRecord;
  return runsIn ? QJsonValue(quillet::LockingModeWord(mode)) : QJsonValue();
}

void AddMountFields(const quillet::MountLocks& mount, QJsonObject* object) {
  object->insert("filesystem", QString::fromStdString(quillet::FilesystemName(mount)));
  object->insert("locks", quillet::LocksName(mount));
}

void AddSambaShareFields(const quillet::SambaConfig& config,
                         const std::vector<quillet::ShareFindingIds>& shares, QJsonObject* object) {
  object->insert("sambaConfiguration", config.read
                                           ? QString("read")
                                           : "not read: " + QString::fromStdString(config.reason));
  QJsonArray serving;
  for (const quillet::ShareFindingIds& share : shares) {
    QJsonArray ids;
    for (const std::string& id : share.ids) ids.append(QString::fromStdString(id));
    serving.append(QJsonObject{{"name", QString::fromStdString(share.name)},
                               {"serves", share.certain ? "yes" : "maybe"},
                               {"findings", ids}});
  }
  object->insert("sambaShares", serving);
}

void AddSambaShareFields(const QByteArray& file, QJsonObject* object) {
  const std::shared_ptr<const quillet::SambaConfig> config =
      quillet::SambaConfigReader::Shared().read();
  AddSambaShareFields(*config, quillet::ServingFindingIds(*config, file.toStdString()), object);
}

void AddSambaField(const QByteArray& file, QJsonObject* object) {
  struct stat info;
  quillet::OtherOpeners others{false, "the file cannot be found", {}};
  if (quillet::posix::Stat(file.toStdString(), &info) == 0) others = quillet::OtherOpenersOf(info);
  object->insert("samba", others.read ? QString("read")
                                      : "not read: " + QString::fromStdString(others.reason));
}

void AddPathField(QJsonObject* object, const char* key, const QByteArray& bytes) {
  const QString text = QFile::decodeName(bytes);
  object->insert(key, text);
  if (QFile::encodeName(text) != bytes)
    object->insert(QString(key) + "Bytes", QString::fromLatin1(bytes.toBase64()));
}

int UsageError(const QString& message) {
  // The message may quote an argument, which may be a hostile file's name.
  std::fprintf(stderr, "quilletctl: %s\nTry 'quilletctl --help'.\n",
               Escaped(message.toUtf8()).constData());
  return kExitUsage;
}

int EngineError(const quillet::Status& status) {
  std::fprintf(stderr, "quilletctl: error %d: %s\n", static_cast<int>(status.number()),
               Escaped(status.description()).constData());
  return kExitEngineError;
}

int Finish(int status) {
  // fclose reports what the last flush could not: a descriptor that fails only on close
  // (some network file systems) loses output too.
  if (lostOutputErrno == 0 && std::fclose(stdout) != 0) lostOutputErrno = errno != 0 ? errno : EIO;
  if (lostOutputErrno == 0) return status;
  std::fprintf(stderr, "quilletctl: cannot write to standard output: %s\n",
               std::strerror(lostOutputErrno));
  return kExitSystem;
}

}  // namespace quilletctl
