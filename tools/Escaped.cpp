#include "tools/Escaped.h"

#include <algorithm>

#include <QStringDecoder>

namespace quilletctl {
namespace {

void AppendHex(unsigned char byte, QByteArray* shown) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  *shown += kDigits[byte >> 4];
  *shown += kDigits[byte & 0xF];
}

// The bytes of the one well-formed UTF-8 character that `bytes` begins with, or none: an
// overlong form, a surrogate, a code point past U+10FFFF, a stray continuation byte or a
// sequence cut short are not characters, so each of their bytes is escaped.
QByteArrayView CharacterAt(QByteArrayView bytes) {
  const auto lead = static_cast<unsigned char>(bytes.front());
  const qsizetype length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (length > bytes.size()) return {};
  // Each character is decoded alone, so a U+FEFF comes first: it is a character like any
  // other here, not a byte order mark to drop.
  QStringDecoder utf8(QStringDecoder::Utf8,
                      QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  const QString decoded = utf8.decode(bytes.first(length));  // decodes as the QString is made
  return utf8.hasError() || decoded.isEmpty() ? QByteArrayView() : bytes.first(length);
}

// Printable ASCII other than the backslash: kept as it is, in runs.
bool Plain(char byte) { return byte >= 0x20 && byte < 0x7F && byte != '\\'; }

void AppendAscii(char byte, QByteArray* shown) {
  switch (byte) {
    case '\\': *shown += "\\\\"; return;
    case '\t': *shown += "\\t"; return;
    case '\n': *shown += "\\n"; return;
    case '\r': *shown += "\\r"; return;
    default: break;
  }
  *shown += "\\x";
  AppendHex(static_cast<unsigned char>(byte), shown);
}

}  // namespace

QByteArray Escaped(QByteArrayView bytes) {
  QByteArray shown;
  shown.reserve(bytes.size());
  for (qsizetype at = 0; at < bytes.size();) {
    const qsizetype run = std::find_if_not(bytes.begin() + at, bytes.end(), Plain) - bytes.begin();
    shown.append(bytes.sliced(at, run - at));
    at = run;
    if (at == bytes.size()) break;
    if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      AppendAscii(bytes[at++], &shown);
      continue;
    }
    const QByteArrayView character = CharacterAt(bytes.sliced(at));
    if (character.isEmpty()) {
      shown += "\\x";
      AppendHex(static_cast<unsigned char>(bytes[at++]), &shown);
    } else if (character.size() == 2 && static_cast<unsigned char>(character[0]) == 0xC2 &&
               static_cast<unsigned char>(character[1]) < 0xA0) {
      shown += "\\u00";  // U+0080 to U+009F, which terminals take for C1 controls
      AppendHex(static_cast<unsigned char>(character[1]), &shown);
      at += 2;
    } else {
      shown += character;
      at += character.size();
    }
  }
  return shown;
}

}  // namespace quilletctl
