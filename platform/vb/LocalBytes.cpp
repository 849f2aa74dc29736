#include "platform/vb/LocalBytes.h"

#include <QFile>

namespace quillet {

QString FromLocalBytes(const std::string& bytes) {
  return QFile::decodeName(QByteArray::fromStdString(bytes));
}

std::string ToLocalBytes(const QString& text) { return QFile::encodeName(text).toStdString(); }

}  // namespace quillet
