#include "platform/samba/SambaPrograms.h"

#include <sys/stat.h>

#include "platform/base/Posix.h"

namespace quillet {

namespace {

// Owned by root and writable by nobody else: nobody but root could have put it there.
bool OnlyRootCanChange(const struct stat& info) {
  return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string SambaProgram(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return {};
  for (const std::string_view folder : kSambaInstallFolders) {
    const std::string folderPath(folder);
    const std::string path = folderPath + '/' + std::string(name);
    struct stat folderInfo;
    struct stat file;
    if (posix::Stat(folderPath, &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode) ||
        !OnlyRootCanChange(folderInfo))
      continue;
    if (posix::Stat(path, &file) != 0 || !S_ISREG(file.st_mode) || (file.st_mode & S_IXUSR) == 0 ||
        !OnlyRootCanChange(file))
      continue;
    return path;
  }
  return {};
}

}  // namespace quillet
