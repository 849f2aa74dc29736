#pragma once

#include <QString>
#include <cstdint>

#include "platform/engine/Dao.h"

namespace quillet {

// -1: cannot be determined; 0: page-level locking; 1: record-level locking.
using LockingMode = int32_t;

// Reads the locking mode an open database is running in, through a second, short-lived
// ADO connection that joins the mode in effect. Never fails: every failure gives -1.
LockingMode GetLockingMode(const DatabasePtr& database);

// The information line the window shows for a mode.
QString LockingModeText(LockingMode mode);

}  // namespace quillet
