#pragma once

#include <QString>

#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"
#include "platform/engine/LockingMode.h"

namespace quillet {

// Reads the locking mode an open database is running in, through a second, short-lived
// ADO connection that joins the mode in effect. Never fails: every failure gives kUnknown
// (-1, as the window and scripts know it).
LockingMode GetLockingMode(const DatabasePtr& database);

// The mode in effect for an open ADO connection, which an earlier opener may have set:
// kUnknown where the engine cannot tell (another engine has the database open).
LockingMode ModeInEffect(const Connection& connection);

// The information line the window shows for a mode.
QString LockingModeText(LockingMode mode);

}  // namespace quillet
