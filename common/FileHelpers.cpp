#include "common/FileHelpers.h"

#include <cstdint>

#include "platform/base/PathNames.h"
#include "platform/engine/FileLen.h"
#include "platform/vb/ErrObject.h"
#include "platform/vb/LocalBytes.h"

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
  const long long dot = ExtensionDot(path);
  return dot < 0 ? path : path.left(dot);
}

}  // namespace quillet
