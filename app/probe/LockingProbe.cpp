#include "app/probe/LockingProbe.h"

#include "common/TraceLog.h"
#include "platform/vb/ErrObject.h"

namespace quillet {

LockingMode GetLockingMode(const DatabasePtr& database) {
  OnErrorResumeNext resumeNext;

  if (!database) return LockingMode::kUnknown;
  if (database->Name().empty()) return LockingMode::kUnknown;

  LogMessage(QStringLiteral("Creating ADO Connection"));
  Connection connection;
  Err().Record(connection.SetProvider(kJetOleDbProvider));
  Err().Record(connection.SetProperty(kPropDataSource, database->Name()));
  connection.SetCursorLocation(adUseServer);

  LogMessage(QStringLiteral("Opening database (ADO)"));
  Err().Record(connection.Open({}, {}, {}, adOptionUnspecified));
  if (Err().Number != 0) {
    LogMessage(QStringLiteral("Failed - ") + Err().Description);
    return LockingMode::kUnknown;  // releasing the connection closes whatever it opened
  }
  return ModeInEffect(connection);  // the connection is released here without an explicit Close
}

LockingMode ModeInEffect(const Connection& connection) {
  PropertyValue value;
  if (!connection.GetProperty(kPropLockingMode, &value).ok()) return LockingMode::kUnknown;
  const int32_t* mode = std::get_if<int32_t>(&value);
  return mode != nullptr ? LockingModeAskedBy(*mode) : LockingMode::kUnknown;
}

QString LockingModeText(LockingMode mode) {
  if (const char* title = LockingModeTitle(mode))
    return QStringLiteral("Information: The database is using '%1' locking.").arg(title);
  return QStringLiteral("Information: The type of locking the database is using cannot be found.");
}

}  // namespace quillet
