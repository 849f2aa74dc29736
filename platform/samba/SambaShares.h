#pragma once

#include <string>
#include <vector>

#include "platform/samba/SambaConfig.h"

namespace quillet {

// Sets each share's resolvedPath (SambaConfig.h) from its `path`, made absolute with its links
// resolved (posix::ResolvedPath); left empty for a share whose folder Samba fills in per user
// or client.
void ResolveSharePaths(SambaConfig* config);

// Whether Samba fills in the share's folder per user or client: [homes] (each user's home,
// unless it names one fixed folder), or a path with a substitution (%U, %S, %H, %m, ...).
// Such a share may serve any folder it can expand to.
bool FilledInPerUser(const SambaConfig& config, const SambaSection& share);

// Printers' shares (printable = yes) hold print jobs, not databases.
bool IsPrinterShare(const SambaConfig& config, const SambaSection& share);

// A share that serves a path: for certain, or maybe (its folder is filled in per user).
struct ServingShare {
  const SambaSection* share = nullptr;
  bool certain = true;
};

// Every share, printers' apart, whose folder holds `path` (a file or a folder; nested
// shares each count), both resolved; then every share that may (FilledInPerUser).
std::vector<ServingShare> SharesServing(const SambaConfig& config, const std::string& path);

}  // namespace quillet
