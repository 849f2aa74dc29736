#include "common/FileHelpers.h"

#include <cstdint>

#include "platform/ErrObject.h"
#include "platform/FileSystem.h"

namespace quillet {

double GetFileLength(const QString& path) {
  double result = -1;
  OnErrorResumeNext resumeNext;
  // ToLocalBytes keeps an embedded NUL, so FileLen sees the whole name and refuses it
  // instead of measuring whatever file the part before the NUL happens to name.
  int64_t length = 0;
  const Status status = FileLen(ToLocalBytes(path), &length);
  Err().Record(status);
  if (Err().Number == 0) result = static_cast<double>(length);
  return result;
}

QString StripExtension(const QString& path) {
  // Separators are tested before the dot at every position, so a dot in a folder name
  // is never taken for an extension.
  for (qsizetype position = path.size(); position > 0; --position) {
    const QChar c = path.at(position - 1);
    if (c == u'/' || c == u'\\') return path;
    if (c == u'.') return path.left(position - 1);
  }
  return path;
}

}  // namespace quillet
