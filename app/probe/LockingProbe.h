#pragma once

#include <QString>
#include <cstdint>

#include "platform/engine/Dao.h"

namespace quillet {

// The probe's answer. Its three values are fixed: the window's texts and scripts rely on them.
using LockingMode = int32_t;
inline constexpr LockingMode kModeUnknown = -1;  // cannot be determined
inline constexpr LockingMode kPageLevel = 0;
inline constexpr LockingMode kRecordLevel = 1;

// Reads the locking mode an open database is running in, through a second, short-lived
// ADO connection that joins the mode in effect. Never fails: every failure gives -1.
LockingMode GetLockingMode(const DatabasePtr& database);

// The information line the window shows for a mode.
QString LockingModeText(LockingMode mode);

}  // namespace quillet
