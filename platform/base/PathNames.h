#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet {

// Where the extension of a path's last name begins: the index of its last dot, or -1 when
// the last name has none. Both separators, '/' and Windows' '\', are tested before the dot
// at every position, so a dot in a folder name is never taken for an extension. Works on
// byte paths (std::string) and on texts (QString) alike.
template <typename Path>
long long ExtensionDot(const Path& path) {
  for (long long position = static_cast<long long>(path.size()) - 1; position >= 0; --position) {
    const auto c = path[position];
    if (c == u'/' || c == u'\\') return -1;
    if (c == u'.') return position;
  }
  return -1;
}

// The path without the last extension of its last name, then `extension` ("/a.b/c" and ".ldb"
// give "/a.b/c.ldb").
inline std::string WithExtension(const std::string& path, std::string_view extension) {
  const long long dot = ExtensionDot(path);
  std::string named = dot < 0 ? path : path.substr(0, size_t(dot));
  named += extension;
  return named;
}

// The folder a byte path names its last entry in: "." for a bare name, "/" for an entry
// of the root.
inline std::string ParentFolder(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace quillet
