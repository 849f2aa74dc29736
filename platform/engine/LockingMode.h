#pragma once

#include <cstdint>

namespace quillet {

// A database's locking mode, as the engine, the window and quilletctl speak of it. The
// numbers are ADO's "Jet OLEDB:Database Locking Mode" (0 page level, 1 record level) and the
// window's -1 for a mode nobody here can know. kExclusive is what an onlooker (a scan) sees of
// a database one connection holds alone: the mode is that connection's own business then.
enum class LockingMode : int32_t { kUnknown = -1, kPage = 0, kRecord = 1, kExclusive = 2 };

// ADO's property value: 1 asks for record level, anything else gets page level.
inline constexpr LockingMode LockingModeAskedBy(int32_t property) {
  return property == static_cast<int32_t>(LockingMode::kRecord) ? LockingMode::kRecord
                                                                : LockingMode::kPage;
}

// The one table of the modes' names: the word scripts read (text, JSON and metrics output)
// and, for the two modes a database runs in, the words people read ("Page Level").
struct LockingModeNames {
  LockingMode mode;
  const char* word;
  const char* title;  // null where there is none
};
inline constexpr LockingModeNames kLockingModeNames[] = {
    {LockingMode::kUnknown, "unknown", nullptr},
    {LockingMode::kPage, "page", "Page Level"},
    {LockingMode::kRecord, "record", "Record Level"},
    {LockingMode::kExclusive, "exclusive", nullptr},
};

inline constexpr const LockingModeNames& NamesOf(LockingMode mode) {
  for (const LockingModeNames& names : kLockingModeNames) {
    if (names.mode == mode) return names;
  }
  return kLockingModeNames[0];
}
inline constexpr const char* LockingModeWord(LockingMode mode) { return NamesOf(mode).word; }
inline constexpr const char* LockingModeTitle(LockingMode mode) { return NamesOf(mode).title; }

}  // namespace quillet
