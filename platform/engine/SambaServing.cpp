#include "platform/engine/SambaServing.h"

#include <sys/stat.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "platform/engine/OtherOpeners.h"

namespace quillet {

namespace {

std::mutex mutex;
SambaServingSource& Source() {
  static SambaServingSource source;
  return source;
}

}  // namespace

const ServingSambaShare* SambaServing::hidingLocks() const {
  for (const ServingSambaShare& share : shares) {
    if (!share.hidingSettings.empty()) return &share;
  }
  return nullptr;
}

void SetSambaServingSource(SambaServingSource source) {
  const std::lock_guard<std::mutex> lock(mutex);
  Source() = std::move(source);
}

SambaServing SambaServingOf(const std::string& path) {
  SambaServingSource source;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    source = Source();
  }
  if (!source) return SambaServing{false, "nothing to ask", {}, {}};
  return source(path);
}

namespace {

// How much a share's setting hides: Samba keeping no lock at all before Samba keeping them
// to itself, a share known to serve the folder before one that may.
int Hides(const ServingSambaShare& share) {
  if (share.hidingSettings.empty()) return 0;
  return (share.hidingSettings.front() == kSambaLockingOff ? 2 : 0) + (share.certain ? 2 : 1);
}

}  // namespace

void AddSambaServing(const SambaServing& serving, MountLocks* mount) {
  const ServingSambaShare* hiding = nullptr;
  for (const ServingSambaShare& share : serving.shares) {
    if (Hides(share) > (hiding ? Hides(*hiding) : 0)) hiding = &share;
  }
  if (hiding == nullptr) return;
  SambaHiding samba{hiding->name, hiding->hidingSettings.front(), hiding->certain};
  // Whether the table can be read does not depend on the file asked about.
  struct stat anyFile;
  std::memset(&anyFile, 0, sizeof anyFile);
  samba.table = samba.setting == kSambaPosixLockingOff && OtherOpenersOf(anyFile).read;
  mount->samba = std::move(samba);
}

void AddSambaServing(const std::string& path, MountLocks* mount) {
  if (mount->seen()) AddSambaServing(SambaServingOf(path), mount);
}

MountLocks DatabaseLocksOf(const std::string& path) {
  MountLocks mount = LocksOfPath(path);
  AddSambaServing(path, &mount);
  return mount;
}

}  // namespace quillet
