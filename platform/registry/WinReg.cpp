#include "platform/registry/WinReg.h"

#include <cstring>
#include <limits>
#include <string>

#include "platform/registry/KeyHandles.h"
#include "platform/registry/KeyName.h"
#include "platform/registry/SqliteStore.h"

namespace quillet::winreg {

using registry::AddKeyHandle;
using registry::AppendKeyLevels;
using registry::OpenKey;
using registry::ResolveKey;
using registry::SqliteStore;

namespace {

constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// What a key opened without naming its rights gets: all the store lets this user do.
REGSAM MaximumAllowed(const SqliteStore& store) {
  return store.Writable() ? KEY_ALL_ACCESS : KEY_READ;
}

bool IsEmpty(LPCSTR subKey) { return subKey == nullptr || subKey[0] == '\0'; }

LONG OpenSubKey(HKEY parent, LPCSTR subKey, REGSAM wanted, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenKey key;
  if (!ResolveKey(parent, &key)) return ERROR_INVALID_HANDLE;
  LONG status = AppendKeyLevels(subKey, &key.key.levels);
  if (status != ERROR_SUCCESS) return status;
  const SqliteStore store(key.store);
  status = store.KeyExists(key.key);
  if (status != ERROR_SUCCESS) return status;
  if (wanted & kMaximumAllowed) {
    key.access = MaximumAllowed(store) | (wanted & ~kMaximumAllowed);
  } else {
    // Rights to write a store this user may not write are refused here, when the key is
    // opened, as the registry refuses them for a key the user may only read.
    if ((wanted & kWriteAccess) != 0 && !store.Writable()) return ERROR_ACCESS_DENIED;
    key.access = wanted;
  }
  *result = AddKeyHandle(std::move(key));
  return ERROR_SUCCESS;
}

// A handle that may be used for the access asked: ERROR_SUCCESS, ERROR_INVALID_HANDLE
// or ERROR_ACCESS_DENIED.
LONG UsableKey(HKEY handle, REGSAM needed, OpenKey* key) {
  if (!ResolveKey(handle, key)) return ERROR_INVALID_HANDLE;
  return (key->access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsEmpty(lpSubKey)) {
    // As in Win32: no subkey hands back the very handle passed in.
    OpenKey key;
    if (!ResolveKey(hKey, &key)) return ERROR_INVALID_HANDLE;
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return OpenSubKey(hKey, lpSubKey, kMaximumAllowed, phkResult);
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                   PHKEY phkResult) {
  return OpenSubKey(hKey, lpSubKey, samDesired, phkResult);
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey key;
  if (!ResolveKey(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (IsEmpty(lpSubKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = nullptr;
  const REGSAM parentAccess = key.access;
  LONG status = AppendKeyLevels(lpSubKey, &key.key.levels);
  if (status != ERROR_SUCCESS) return status;

  const SqliteStore store(key.store);
  status = store.KeyExists(key.key);
  if (status != ERROR_SUCCESS) {
    // Missing, or the store is damaged: creating it is a write, which also replaces a
    // damaged store with a fresh one.
    if ((parentAccess & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    status = store.CreateKey(key.key);
    if (status != ERROR_SUCCESS) return status;
  }
  key.access = MaximumAllowed(store);
  *phkResult = AddKeyHandle(std::move(key));
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey key;
  LONG status = UsableKey(hKey, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;

  DWORD type = REG_NONE;
  std::string data;
  status = SqliteStore(key.store).QueryValue(key.key, lpValueName ? lpValueName : "", &type, &data);
  if (status != ERROR_SUCCESS) return status;
  if (data.size() > std::numeric_limits<DWORD>::max()) return ERROR_OUTOFMEMORY;
  const DWORD size = static_cast<DWORD>(data.size());

  if (lpType != nullptr) *lpType = type;
  if (lpData != nullptr) {
    // The caller's buffer is too small: tell it the size to ask again with.
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size > 0) std::memcpy(lpData, data.data(), size);
  }
  if (lpcbData != nullptr) *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  if (Reserved != 0) return ERROR_INVALID_PARAMETER;
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  OpenKey key;
  const LONG status = UsableKey(hKey, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  const std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  return SqliteStore(key.store).SetValue(key.key, lpValueName ? lpValueName : "", dwType, data);
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  OpenKey key;
  const LONG status = UsableKey(hKey, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  return SqliteStore(key.store).DeleteValue(key.key, lpValueName ? lpValueName : "");
}

LONG RegCloseKey(HKEY hKey) { return registry::CloseKeyHandle(hKey); }

}  // namespace quillet::winreg
