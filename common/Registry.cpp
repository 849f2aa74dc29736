#include "common/Registry.h"

#include <QByteArray>
#include <string>

#include "platform/vb/ErrObject.h"

namespace quillet {

using namespace winreg;

namespace {

// Texts cross the registry boundary in the system's code page, UTF-8 on Linux.
QByteArray ToCodePage(const QString& text) { return text.toUtf8(); }

}  // namespace

QString TrimAtNull(const QString& text) {
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  return nul < 0 ? text : text.left(nul);
}

LONG QueryStringValue(HKEY key, const QString& valueName, QString& text) {
  Err().Clear();  // stop-on-failure handling switched on
  const QByteArray name = ToCodePage(valueName);

  // First ask only for the type and the size the data needs.
  DWORD type = REG_NONE;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, name.constData(), nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ) return ERROR_SUCCESS;

  std::string buffer(size, ' ');
  status = RegQueryValueExA(key, name.constData(), nullptr, &type,
                            reinterpret_cast<LPBYTE>(buffer.data()), &size);
  // The second answer's size counts: had another process shortened the value between
  // the two calls, the rest of the buffer would still be padding.
  if (status == ERROR_SUCCESS) {
    text = TrimAtNull(QString::fromUtf8(buffer.data(), qsizetype(size)));
  }
  return status;
}

QString GetRegistryString(HKEY root, const QString& keyPath, const QString& valueName,
                          const QString& defaultValue) {
  HKEY key = nullptr;
  if (RegOpenKeyA(root, ToCodePage(keyPath).constData(), &key) != ERROR_SUCCESS) {
    return defaultValue;
  }
  QString text;
  const LONG status = QueryStringValue(key, valueName, text);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? text : defaultValue;
}

void SaveRegistryString(HKEY root, const QString& keyPath, const QString& valueName,
                        const QString& text, const QString& defaultValue) {
  const QByteArray path = ToCodePage(keyPath);
  const QByteArray name = ToCodePage(valueName);
  HKEY key = nullptr;
  if (text != defaultValue) {
    RegCreateKeyA(root, path.constData(), &key);
    // The byte count is that of the encoded text, so a path with characters outside
    // ASCII is stored whole.
    const QByteArray data = ToCodePage(text);
    RegSetValueExA(key, name.constData(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(data.constData()), DWORD(data.size()));
  } else if (RegistryKeyExists(root, keyPath)) {
    RegOpenKeyA(root, path.constData(), &key);
    RegDeleteValueA(key, name.constData());
  }
  if (key != nullptr) RegCloseKey(key);
}

bool RegistryKeyExists(HKEY root, const QString& keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, ToCodePage(keyPath).constData(), 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

}  // namespace quillet
