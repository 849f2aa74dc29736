#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/WinReg.h"

namespace quillet::registry {

// A key as the store addresses it: its predefined root ("HKEY_LOCAL_MACHINE") and its
// levels below that root, as spelled by the caller. No levels: the root itself.
struct KeyAddress {
  std::string root;
  std::vector<std::string> levels;
};

// The keys and values of every root in one SQLite file. Each call opens the file, does
// its work in one transaction and closes it again: several copies of the program may
// write at once (SQLite's file locks serialize them, the last write wins), and a
// process killed mid-write leaves a hot journal that the next opener rolls back.
//
// Results are registry status codes. A file that is not a store of ours (garbage,
// damaged pages, another program's database) or one whose tables no longer fit its
// statements (dropped or reshaped by hand) reads as ERROR_BADDB; the first write
// that meets it moves it aside to "<name>.corrupt-<UTC time>" and starts a fresh store,
// so that the settings work again and the damaged bytes are kept for inspection.
class SqliteStore {
 public:
  explicit SqliteStore(std::string path) : path_(std::move(path)) {}

  // ERROR_SUCCESS when the key exists; the root always does.
  winreg::LONG KeyExists(const KeyAddress& key) const;
  // Creates the key and every missing level above it.
  winreg::LONG CreateKey(const KeyAddress& key) const;
  winreg::LONG QueryValue(const KeyAddress& key, std::string_view name, winreg::DWORD* type,
                          std::string* data) const;
  // Stores the value, creating its key again if it went missing since it was opened.
  winreg::LONG SetValue(const KeyAddress& key, std::string_view name, winreg::DWORD type,
                        std::string_view data) const;
  winreg::LONG DeleteValue(const KeyAddress& key, std::string_view name) const;

  // Whether this process may write the store (create it when it does not exist yet).
  bool Writable() const;

 private:
  std::string path_;
};

}  // namespace quillet::registry
