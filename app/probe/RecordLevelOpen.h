#pragma once

#include <string>

#include "platform/base/Status.h"
#include "platform/engine/Ado.h"

namespace quillet {

// Opens `connection` on `path` through ADO asking for record-level locking, the way the
// database's first opener makes it run so: provider, data source, the locking mode, then the
// open, with `adoMode` (Connection.Mode: exclusive, read-only) set before it. Stops at the
// first step that fails and gives its status. A later opener joins the mode in effect:
// ModeInEffect tells which it got.
Status OpenAskingForRecordLevel(Connection* connection, const std::string& path,
                                int32_t adoMode = adModeUnknown);

}  // namespace quillet
