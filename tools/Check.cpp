// check: the locking mode a database runs in, found the way the window finds it.

#include "app/probe/LockingProbe.h"
#include "platform/engine/SambaServing.h"
#include "tools/Commands.h"

namespace quilletctl {

int Check(const QByteArray& file, bool json) {
  quillet::DatabasePtr database;
  const quillet::Status opened =
      quillet::DBEngine::Instance().OpenDatabase(file.toStdString(), &database);
  if (!opened.ok()) return EngineError(opened);
  const quillet::LockingMode mode = quillet::GetLockingMode(database);
  // Closed before printing: a reader that goes away early must not find us holding the file.
  const quillet::Status closed = database->Close();
  if (!closed.ok()) return EngineError(closed);

  const QString message = quillet::LockingModeText(mode);
  if (!json) {
    Print(Escaped(message.toUtf8()) + '\n');
  } else {
    QJsonObject object{{"mode", ModeJson(mode)}, {"message", message}};
    AddPathField(&object, "file", file);
    AddMountFields(quillet::DatabaseLocksOf(file.toStdString()), &object);
    AddSambaField(file, &object);
    AddSambaShareFields(file, &object);
    Print(JsonLine(object));
  }
  return Finish(kExitOk);
}

}  // namespace quilletctl
