#include "platform/registry/RegistryStore.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

namespace quillet {

namespace {

// The folder named after the vendor and the program of the key
// SOFTWARE\Oxtaro\Utils\Quillet, under the user's configuration folder.
constexpr const char* kStoreRelativePath = "/Oxtaro/Quillet/registry.sqlite3";

std::mutex& PathMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& ChosenPath() {
  static std::string path;
  return path;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  // No usable HOME (a service, a cleared environment): the account's own entry.
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  // Nowhere of the user's own: the root folder, which only root may write, rather than
  // a shared folder where another user could prepare the file for us.
  return "";
}

}  // namespace

std::string RegistryStore::DefaultPath() {
  // The XDG base-directory rules: a relative XDG_CONFIG_HOME is to be ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string folder =
      (config != nullptr && config[0] == '/') ? std::string(config) : HomeFolder() + "/.config";
  return folder + kStoreRelativePath;
}

void RegistryStore::SetPath(const std::string& path) {
  std::lock_guard lock(PathMutex());
  ChosenPath() = path;
}

std::string RegistryStore::Path() {
  {
    std::lock_guard lock(PathMutex());
    if (!ChosenPath().empty()) return ChosenPath();
  }
  return DefaultPath();
}

}  // namespace quillet
