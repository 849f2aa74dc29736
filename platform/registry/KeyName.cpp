#include "platform/registry/KeyName.h"

#include <QString>
#include <QStringDecoder>

#include "platform/base/AsciiCase.h"

namespace quillet::registry {

namespace {

constexpr size_t kMaxKeyLevelCharacters = 255;

// Characters, not bytes: a UTF-8 continuation byte does not start one.
size_t CharacterCount(std::string_view text) {
  size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace

std::string FoldCase(std::string_view name) {
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  const QString text = decoder.decode(QByteArrayView(name.data(), name.size()));
  if (decoder.hasError()) return AsciiFolded(name);
  return text.toCaseFolded().toUtf8().toStdString();
}

winreg::LONG AppendKeyLevels(winreg::LPCSTR subKey, std::vector<std::string>* levels) {
  if (subKey == nullptr) return winreg::ERROR_SUCCESS;
  std::string_view path(subKey);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return winreg::ERROR_SUCCESS;
  if (path.front() == '\\') return winreg::ERROR_BAD_PATHNAME;

  std::vector<std::string> found;
  while (true) {
    const size_t separator = path.find('\\');
    const std::string_view level = path.substr(0, separator);
    if (level.empty()) return winreg::ERROR_BAD_PATHNAME;
    if (CharacterCount(level) > kMaxKeyLevelCharacters) return winreg::ERROR_INVALID_PARAMETER;
    found.emplace_back(level);
    if (separator == std::string_view::npos) break;
    path.remove_prefix(separator + 1);
  }
  levels->insert(levels->end(), found.begin(), found.end());
  return winreg::ERROR_SUCCESS;
}

std::string JoinKeyLevels(const std::vector<std::string>& levels, size_t count, bool fold) {
  std::string path;
  for (size_t i = 0; i < count && i < levels.size(); ++i) {
    if (i > 0) path += '\\';
    path += fold ? FoldCase(levels[i]) : levels[i];
  }
  return path;
}

}  // namespace quillet::registry
