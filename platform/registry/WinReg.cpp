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

bool IsEmpty(LPCSTR subKey) { return subKey == nullptr || subKey[0] == '\0'; }

// wanted: the rights asked for. Rights to write a store this user may not write are
// refused when the key is opened, as the registry refuses them for a key the user may
// only read; a key opened without naming rights gets what the store allows, and a write
// through it fails in the store.
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
  constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
  if ((wanted & kWriteAccess) != 0 && !store.Writable()) return ERROR_ACCESS_DENIED;
  *result = AddKeyHandle(std::move(key));
  return ERROR_SUCCESS;
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
  return OpenSubKey(hKey, lpSubKey, 0, phkResult);
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
  LONG status = AppendKeyLevels(lpSubKey, &key.key.levels);
  if (status != ERROR_SUCCESS) return status;

  const SqliteStore store(key.store);
  status = store.KeyExists(key.key);
  if (status != ERROR_SUCCESS) {
    // Missing, or the store is damaged: creating it is a write, which also replaces a
    // damaged store with a fresh one (and fails on a store this user may not write).
    status = store.CreateKey(key.key);
    if (status != ERROR_SUCCESS) return status;
  }
  *phkResult = AddKeyHandle(std::move(key));
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey key;
  if (!ResolveKey(hKey, &key)) return ERROR_INVALID_HANDLE;

  DWORD type = REG_NONE;
  std::string data;
  LONG status =
      SqliteStore(key.store).QueryValue(key.key, lpValueName ? lpValueName : "", &type, &data);
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
  if (!ResolveKey(hKey, &key)) return ERROR_INVALID_HANDLE;
  const std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  return SqliteStore(key.store).SetValue(key.key, lpValueName ? lpValueName : "", dwType, data);
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  OpenKey key;
  if (!ResolveKey(hKey, &key)) return ERROR_INVALID_HANDLE;
  return SqliteStore(key.store).DeleteValue(key.key, lpValueName ? lpValueName : "");
}

LONG RegCloseKey(HKEY hKey) { return registry::CloseKeyHandle(hKey); }

}  // namespace quillet::winreg
