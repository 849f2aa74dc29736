#pragma once

#include <QString>

namespace quillet {

// The length in bytes of the regular file at path, or -1 when there is none to report
// (missing, a folder, a FIFO or device, unreadable, an invalid name). Never blocks, never
// fails, and leaves the current-error object clear.
double GetFileLength(const QString& path);

// The path without the last extension of its last name; unchanged when that name has none.
QString StripExtension(const QString& path);

}  // namespace quillet
