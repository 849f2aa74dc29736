#include "platform/engine/JetHeader.h"

#include "platform/base/AsciiCase.h"
#include "platform/base/Posix.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

namespace quillet {

namespace {

constexpr size_t kNameOffset = 4;
constexpr size_t kNameLength = 16;
constexpr size_t kVersionOffset = 0x14;
constexpr unsigned char kJet3 = 0x00;
constexpr unsigned char kJet4 = 0x01;
constexpr off_t kMinimumPages = 3;

// The 16-byte name field holds the engine name and its padding: a database's name is
// NUL-terminated, a workgroup file's is followed by spaces and a NUL.
bool NameFieldIs(const unsigned char* field, std::string_view name, bool spacesAllowed) {
  if (std::memcmp(field, name.data(), name.size()) != 0) return false;
  for (size_t i = name.size(); i < kNameLength; ++i) {
    if (field[i] != '\0' && !(spacesAllowed && field[i] == ' ')) return false;
  }
  return true;
}

}  // namespace

bool IsJetDatabase(int fd, off_t fileSize) {
  unsigned char header[kVersionOffset + 1];
  if (posix::ReadAt(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
    return false;

  if (header[0] != 0x00) return false;
  const unsigned char* name = header + kNameOffset;
  if (!NameFieldIs(name, "Standard Jet DB", false) && !NameFieldIs(name, "Jet System DB", true))
    return false;

  off_t pageSize;
  switch (header[kVersionOffset]) {
    case kJet3: pageSize = 2048; break;
    case kJet4: pageSize = 4096; break;
    default: return false;
  }
  return fileSize >= kMinimumPages * pageSize;
}

bool IsJetDatabaseName(std::string_view path) {
  return std::any_of(
      std::begin(kJetDatabaseExtensions), std::end(kJetDatabaseExtensions),
      [path](std::string_view extension) { return EndsWithIgnoringAsciiCase(path, extension); });
}

}  // namespace quillet
