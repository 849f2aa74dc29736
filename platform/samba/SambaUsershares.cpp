#include "platform/samba/SambaUsershares.h"

#include <fcntl.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/base/AsciiCase.h"
#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"

namespace quillet {

namespace {

// A usershare's file: "#VERSION 2", then key=value lines (path, comment, usershare_acl,
// guest_ok, sharename).
struct Usershare {
  std::string name;
  std::string path;
};

std::optional<Usershare> ReadUsershare(const QString& file) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly)) return std::nullopt;
  Usershare share{QFileInfo(file).fileName().toStdString(), {}};
  for (const QByteArray& line : in.read(64 << 10).split('\n')) {
    if (line.startsWith("path=")) share.path = line.mid(5).trimmed().toStdString();
    if (line.startsWith("sharename=")) share.name = line.mid(10).trimmed().toStdString();
  }
  if (share.path.empty()) return std::nullopt;
  return share;
}

const SambaSection* ShareNamed(const SambaConfig& config, const std::string& name) {
  for (const SambaSection& share : config.shares) {
    if (!share.usershare && EqualsIgnoringAsciiCase(share.name, name)) return &share;
  }
  return nullptr;
}

}  // namespace

std::string AddUsershares(SambaConfig* config) {
  if (std::atoi(config->value(config->global, "usershare max shares").c_str()) <= 0) return {};
  const std::string folder = config->value(config->global, "usershare path");
  if (folder.empty()) return {};
  // Looked at as this process may (its effective user), not as QDir would (its real one).
  const UniqueFd listing(posix::Open(folder, O_RDONLY | O_DIRECTORY));
  if (!listing.valid()) {
    const int error = errno;
    if (error == ENOENT) return folder;  // nobody has made one yet
    config->unseen.push_back("shares users made (net usershare, in " + folder +
                             ") could not be read: " + std::strerror(error));
    return folder;
  }
  const QDir dir(QString::fromStdString(folder));
  const SambaSection* tmpl =
      ShareNamed(*config, config->value(config->global, "usershare template share"));
  std::vector<SambaSection> added;
  for (const QString& name : dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
    const auto share = ReadUsershare(dir.filePath(name));
    if (!share || ShareNamed(*config, share->name)) continue;
    SambaSection section{share->name, {{"path", share->path}}, true, {}};
    if (tmpl) {
      for (const auto& parameter : tmpl->parameters) {
        if (parameter.first != "path") section.parameters.push_back(parameter);
      }
    }
    added.push_back(std::move(section));
  }
  config->shares.insert(config->shares.end(), added.begin(), added.end());
  return folder;
}

}  // namespace quillet
