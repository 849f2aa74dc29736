#include "app/probe/RecordLevelOpen.h"

#include "common/TraceLog.h"
#include "platform/engine/LockingMode.h"

namespace quillet {

Status OpenAskingForRecordLevel(Connection* connection, const std::string& path, int32_t adoMode) {
  LogMessage(QStringLiteral("Opening ADO Connection to Database"));
  Status status = connection->SetProvider(kJetOleDbProvider);
  if (status.ok()) status = connection->SetProperty(kPropDataSource, path);
  if (!status.ok()) return status;

  LogMessage(QStringLiteral("Setting ADO Locking mode to Record Level"));
  status = connection->SetProperty(kPropLockingMode, static_cast<int32_t>(LockingMode::kRecord));
  if (status.ok()) status = connection->SetMode(adoMode);
  if (!status.ok()) return status;

  connection->SetCursorLocation(adUseServer);
  LogMessage(QStringLiteral("Opening database (ADO)"));
  return connection->Open({}, {}, {}, adOptionUnspecified);
}

}  // namespace quillet
