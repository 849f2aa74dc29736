#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/engine/LockReach.h"

namespace quillet {

// The settings of a share that keep its Windows clients' byte-range locks from Linux, as
// ServingSambaShare::hidingSettings names them. With the first Samba keeps no lock at all;
// with the second it keeps them in its own table, which only root may read.
inline constexpr char kSambaLockingOff[] = "locking = no";
inline constexpr char kSambaPosixLockingOff[] = "posix locking = no";

// A share of the Samba server on this computer that serves a database's folder.
struct ServingSambaShare {
  std::string name;
  std::string path;  // its folder, as the configuration gives it
  // False where Samba fills the folder in per user or client ([homes], "%U"): it may serve
  // the database, or not; nobody can tell before a client connects.
  bool certain = true;
  // Its settings that keep Windows clients' byte-range locks from Linux (kSambaLockingOff,
  // kSambaPosixLockingOff); empty where it has none. Where it has one, locks this engine
  // looks for are not there even while a workstation is in.
  std::vector<std::string> hidingSettings;
};

// What Samba's configuration says of a folder. Not read (no Samba here, its configuration
// not readable): no share is known, and `reason` says why.
struct SambaServing {
  bool read = false;
  std::string reason;
  std::vector<ServingSambaShare> shares;
  // What the configuration leaves unknown: files it includes per client, users' shares
  // that could not be read. Any share may then serve the folder with any setting.
  std::vector<std::string> unknown;

  // The first share that serves, or may serve, the folder while hiding locks; null if none.
  const ServingSambaShare* hidingLocks() const;
};

// Where the engine asks, by the database's path. The programs set it once at start;
// without one the answer is "not read".
using SambaServingSource = std::function<SambaServing(const std::string& path)>;
void SetSambaServingSource(SambaServingSource source);
SambaServing SambaServingOf(const std::string& path);

// Adds to `mount` the share of `serving` that keeps its clients' locks from Linux, if any (a
// share with "locking = no" first, one known to serve before one that may), and whether
// Samba's table of locks, read for OtherOpeners.h, stands in for Linux's there: only with
// "posix locking = no", and only where the table could be read.
void AddSambaServing(const SambaServing& serving, MountLocks* mount);
// The same, asking SambaServingOf(path) once, where the mount's locks are seen at all.
void AddSambaServing(const std::string& path, MountLocks* mount);

// The locks of a database's folder as this computer sees them: its mount (LocksOfPath) and
// the Samba share here that may hide them.
MountLocks DatabaseLocksOf(const std::string& path);

}  // namespace quillet
