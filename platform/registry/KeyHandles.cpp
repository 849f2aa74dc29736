#include "platform/registry/KeyHandles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/registry/RegistryStore.h"

namespace quillet::registry {

using namespace winreg;

namespace {

struct PredefinedRoot {
  HKEY handle;
  const char* name;
};

const PredefinedRoot kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},   {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
};

// Far below the predefined roots (0x80000000 and up, sign-extended), and a multiple of
// four like the handles Windows hands out.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, OpenKey> open;
  uintptr_t next = kFirstHandle;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

const PredefinedRoot* FindRoot(HKEY handle) {
  for (const PredefinedRoot& root : kRoots) {
    if (root.handle == handle) return &root;
  }
  return nullptr;
}

}  // namespace

bool ResolveKey(HKEY handle, OpenKey* key) {
  if (const PredefinedRoot* root = FindRoot(handle)) {
    *key = OpenKey{RegistryStore::Path(), KeyAddress{root->name, {}}};
    return true;
  }
  HandleTable& table = Handles();
  std::lock_guard lock(table.mutex);
  const auto found = table.open.find(reinterpret_cast<uintptr_t>(handle));
  if (found == table.open.end()) return false;
  *key = found->second;
  return true;
}

HKEY AddKeyHandle(OpenKey key) {
  HandleTable& table = Handles();
  std::lock_guard lock(table.mutex);
  const uintptr_t value = table.next;
  table.next += kHandleStep;
  table.open.emplace(value, std::move(key));
  return reinterpret_cast<HKEY>(value);
}

size_t OpenKeyHandleCount() {
  HandleTable& table = Handles();
  std::lock_guard lock(table.mutex);
  return table.open.size();
}

LONG CloseKeyHandle(HKEY handle) {
  if (FindRoot(handle) != nullptr) return ERROR_SUCCESS;
  HandleTable& table = Handles();
  std::lock_guard lock(table.mutex);
  return table.open.erase(reinterpret_cast<uintptr_t>(handle)) == 1 ? ERROR_SUCCESS
                                                                    : ERROR_INVALID_HANDLE;
}

}  // namespace quillet::registry
