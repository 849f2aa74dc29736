#pragma once

// How quilletctl's text output shows a name or a record: one line whatever it holds, and
// nothing a terminal would act on.

#include <QByteArray>
#include <QByteArrayView>

namespace quilletctl {

// `bytes` read as UTF-8, with every control character escaped: "\\" for a backslash, "\t",
// "\n" and "\r" for those, "\xHH" for any other C0 byte, DEL, and each byte that is not
// part of well-formed UTF-8, and "\u00HH" for a C1 character (U+0080 to U+009F) encoded in
// UTF-8. Everything else is kept as it is. Every backslash in the result begins one of
// these escapes, so the original bytes can always be told back (bash's printf %b does it
// in a UTF-8 locale).
QByteArray Escaped(QByteArrayView bytes);

}  // namespace quilletctl
