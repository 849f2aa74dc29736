#pragma once

#include <string>

namespace quillet {

// Where the registry functions keep their keys and values: one SQLite file per user.
// The default is <XDG config folder>/Oxtaro/Quillet/registry.sqlite3; tests point it at
// a temporary folder. Changing it takes effect for keys opened afterwards; an empty path
// returns to the default.
class RegistryStore {
 public:
  static std::string DefaultPath();
  static void SetPath(const std::string& path);
  static std::string Path();
};

}  // namespace quillet
