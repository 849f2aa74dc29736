#include "platform/samba/SambaConfig.h"

#include <QByteArrayList>
#include <algorithm>

#include "platform/base/AsciiCase.h"

namespace quillet {

namespace {

constexpr std::string_view kLoadLine = "Load smb config files from ";
constexpr std::string_view kRawParameter = "doing parameter ";

SambaConfig NotUnderstood(std::string why) {
  SambaConfig config;
  config.reason = "testparm printed what is not understood: " + std::move(why);
  return config;
}

std::string Trimmed(const QByteArray& line) { return line.trimmed().toStdString(); }

void AddOnce(std::vector<std::string>* list, const std::string& item) {
  if (std::find(list->begin(), list->end(), item) == list->end()) list->push_back(item);
}

// `name = value` split at its first " = " (names hold no '=', values may: "a = b = c").
std::optional<std::pair<std::string, std::string>> Parameter(const std::string& line) {
  const size_t equals = line.find('=');
  if (equals == std::string::npos || equals == 0) return std::nullopt;
  std::string name = QByteArray::fromStdString(line.substr(0, equals)).trimmed().toStdString();
  std::string value = QByteArray::fromStdString(line.substr(equals + 1)).trimmed().toStdString();
  if (name.empty()) return std::nullopt;
  return std::pair{std::move(name), std::move(value)};
}

// Standard error: the loaded file, and the include lines as the configuration writes them.
void ReadErrors(const QByteArray& err, SambaConfig* config) {
  for (const QByteArray& raw : err.split('\n')) {
    const std::string line = Trimmed(raw);
    if (!line.starts_with(kRawParameter)) continue;
    const auto parameter = Parameter(line.substr(kRawParameter.size()));
    if (!parameter || AsciiFolded(parameter->first) != "include" ||
        EqualsIgnoringAsciiCase(parameter->second, "registry"))
      continue;
    // Any substitution ("%m", "%U", "%I") names the file after the client or its user.
    AddOnce(parameter->second.find('%') != std::string::npos ? &config->perClientIncludes
                                                             : &config->includes,
            parameter->second);
  }
}

}  // namespace

const std::string* SambaSection::find(std::string_view parameter) const {
  for (const auto& [name, value] : parameters) {
    if (name == parameter) return &value;
  }
  return nullptr;
}

std::string SambaConfig::value(const SambaSection& share, std::string_view parameter) const {
  if (const std::string* own = share.find(parameter)) return *own;
  if (const std::string* fallback = global.find(parameter)) return *fallback;
  return {};
}

std::optional<bool> SambaConfig::flag(const SambaSection& share, std::string_view parameter) const {
  return SambaBool(value(share, parameter));
}

std::optional<bool> SambaBool(std::string_view value) {
  const std::string folded = AsciiFolded(value);
  if (folded == "yes" || folded == "true" || folded == "on" || folded == "1") return true;
  if (folded == "no" || folded == "false" || folded == "off" || folded == "0") return false;
  return std::nullopt;
}

std::string TestparmLoadedFile(const QByteArray& err) {
  for (const QByteArray& raw : err.split('\n')) {
    const std::string line = Trimmed(raw);
    if (line.starts_with(kLoadLine)) return line.substr(kLoadLine.size());
  }
  return {};
}

SambaConfig ParseTestparm(const QByteArray& out, const QByteArray& err) {
  SambaConfig config;
  std::vector<SambaSection> sections;
  int number = 0;
  for (const QByteArray& raw : out.split('\n')) {
    ++number;
    const std::string line = Trimmed(raw);
    if (line.empty() || line.starts_with('#')) continue;
    if (line.starts_with('[') && line.ends_with(']')) {
      sections.push_back(SambaSection{line.substr(1, line.size() - 2), {}, false, {}});
      continue;
    }
    const auto parameter = Parameter(line);
    if (!parameter || sections.empty())
      return NotUnderstood("line " + std::to_string(number) + ": " + line.substr(0, 80));
    sections.back().parameters.push_back(*parameter);
  }
  if (sections.empty() || sections.front().name != "global")
    return NotUnderstood("no [global] section first");
  for (const std::string_view parameter : kJudgedParameters) {
    if (!sections.front().find(parameter))
      return NotUnderstood("no default for '" + std::string(parameter) + "' in [global]");
  }
  config.global = std::move(sections.front());
  config.shares.assign(std::make_move_iterator(sections.begin() + 1),
                       std::make_move_iterator(sections.end()));
  ReadErrors(err, &config);
  config.file = TestparmLoadedFile(err);
  if (config.file.empty()) return NotUnderstood("it did not say which file it loaded");
  // The included files as testparm printed them, substitutions made: watched as well.
  const auto addPrinted = [&config](const SambaSection& section) {
    for (const auto& [name, value] : section.parameters) {
      if (name == "include" && !value.empty() && !EqualsIgnoringAsciiCase(value, "registry"))
        AddOnce(&config.includes, value);
    }
  };
  addPrinted(config.global);
  for (const SambaSection& share : config.shares) addPrinted(share);
  config.read = true;
  return config;
}

}  // namespace quillet
