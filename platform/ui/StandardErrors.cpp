#include "platform/ui/UiServices.h"

namespace quillet {

// VB's runtime texts for the file and argument errors a user can meet. Engine errors
// (Jet and ADO numbers) are deliberately absent: their own description says more than a
// generic text would.
QString StandardErrorText(int32_t number) {
  switch (number) {
    case 5: return QStringLiteral("Invalid procedure call or argument");
    case 6: return QStringLiteral("Overflow");
    case 53: return QStringLiteral("File not found");
    case 57: return QStringLiteral("Device I/O error");
    case 68: return QStringLiteral("Device unavailable");
    case 70: return QStringLiteral("Permission denied");
    case 71: return QStringLiteral("Disk not ready");
    case 75: return QStringLiteral("Path/File access error");
    case 76: return QStringLiteral("Path not found");
    default: return QString();
  }
}

}  // namespace quillet
