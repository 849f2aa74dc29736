#include "app/probe/LockingProbe.h"

#include "common/TraceLog.h"
#include "platform/engine/Ado.h"
#include "platform/vb/ErrObject.h"

namespace quillet {

LockingMode GetLockingMode(const DatabasePtr& database) {
  LockingMode result = kModeUnknown;
  OnErrorResumeNext resumeNext;

  if (!database) return kModeUnknown;
  if (database->Name().empty()) return kModeUnknown;

  LogMessage(QStringLiteral("Creating ADO Connection"));
  Connection connection;
  Err().Record(connection.SetProvider(kJetOleDbProvider));
  Err().Record(connection.SetProperty(kPropDataSource, database->Name()));
  connection.SetCursorLocation(adUseServer);

  LogMessage(QStringLiteral("Opening database (ADO)"));
  Err().Record(connection.Open({}, {}, {}, adOptionUnspecified));
  if (Err().Number != 0) {
    LogMessage(QStringLiteral("Failed - ") + Err().Description);
    return kModeUnknown;  // releasing the connection closes whatever it opened
  }

  PropertyValue value;
  if (connection.GetProperty(kPropLockingMode, &value).ok()) {
    if (const int32_t* mode = std::get_if<int32_t>(&value))
      result = (*mode == kRecordLevel) ? kRecordLevel : kPageLevel;
  }
  return result;  // the connection is released here without an explicit Close
}

QString LockingModeText(LockingMode mode) {
  switch (mode) {
    case kPageLevel:
      return QStringLiteral("Information: The database is using 'Page Level' locking.");
    case kRecordLevel:
      return QStringLiteral("Information: The database is using 'Record Level' locking.");
    default:
      return QStringLiteral(
          "Information: The type of locking the database is using cannot be found.");
  }
}

}  // namespace quillet
