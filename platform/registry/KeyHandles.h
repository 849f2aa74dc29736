#pragma once

#include <cstddef>
#include <string>

#include "platform/registry/SqliteStore.h"
#include "platform/registry/WinReg.h"

namespace quillet::registry {

// What an open key handle stands for: the store it was opened in (a later change of
// the store's location does not move it) and the key.
struct OpenKey {
  std::string store;
  KeyAddress key;
};

// Resolves a handle: a predefined root (in the store's current location)
// or a handle this process opened and has not closed yet.
bool ResolveKey(winreg::HKEY handle, OpenKey* key);

// A new handle for key. Handle values are never reused, so a handle used after it was
// closed is refused instead of reaching whichever key was opened later.
winreg::HKEY AddKeyHandle(OpenKey key);

// How many handles are open now: every operation must close the keys it opened.
size_t OpenKeyHandleCount();

// Releases a handle. Closing a predefined root succeeds and does nothing.
winreg::LONG CloseKeyHandle(winreg::HKEY handle);

}  // namespace quillet::registry
