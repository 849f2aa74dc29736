#include "platform/samba/SambaShares.h"

#include "platform/base/AsciiCase.h"
#include "platform/base/Posix.h"

namespace quillet {

namespace {

bool Holds(const std::string& folder, const std::string& path) {
  if (folder.empty()) return false;
  if (folder == "/") return true;
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

void ResolveSharePaths(SambaConfig* config) {
  for (SambaSection& share : config->shares) {
    const std::string path = config->value(share, "path");
    share.resolvedPath =
        path.empty() || FilledInPerUser(*config, share) ? std::string() : posix::ResolvedPath(path);
  }
}

bool FilledInPerUser(const SambaConfig& config, const SambaSection& share) {
  const std::string path = config.value(share, "path");
  if (path.find('%') != std::string::npos) return true;
  return !share.usershare && EqualsIgnoringAsciiCase(share.name, "homes") && path.empty();
}

bool IsPrinterShare(const SambaConfig& config, const SambaSection& share) {
  return config.flag(share, "printable").value_or(false);
}

std::vector<ServingShare> SharesServing(const SambaConfig& config, const std::string& path) {
  const std::string resolved = posix::ResolvedPath(path);
  std::vector<ServingShare> serving, maybe;
  for (const SambaSection& share : config.shares) {
    if (IsPrinterShare(config, share)) continue;
    if (FilledInPerUser(config, share))
      maybe.push_back({&share, false});
    else if (Holds(share.resolvedPath, resolved))
      serving.push_back({&share, true});
  }
  serving.insert(serving.end(), maybe.begin(), maybe.end());
  return serving;
}

}  // namespace quillet
