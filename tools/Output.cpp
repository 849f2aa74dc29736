#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QFile>
#include <QJsonDocument>

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

void PutPath(QJsonObject* object, const QString& key, const QByteArray& path) {
  const QString text = QFile::decodeName(path);
  object->insert(key, text);
  if (QFile::encodeName(text) != path)
    object->insert(key + "Bytes", QString::fromLatin1(path.toBase64()));
}

int EngineError(const quillet::Status& status) {
  std::fprintf(stderr, "quilletctl: error %d: %s\n", static_cast<int>(status.number()),
               status.description().c_str());
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
