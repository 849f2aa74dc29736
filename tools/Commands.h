#pragma once

// The commands of quilletctl and what they share: how they print and how they end.

#include <QByteArray>
#include <QJsonObject>

#include "platform/Status.h"
#include "platform/engine/LockReach.h"

namespace quilletctl {

enum ExitStatus {
  kExitOk = 0,
  kExitEngineError = 1,  // the engine refused the file
  kExitUsage = 2,
  kExitSystem = 3,     // signal handling could not be set up, or output was lost
  kExitOtherMode = 4,  // hold --record held the database in another or an unknown mode
};

struct HoldRequest {
  bool record = false;
  bool exclusive = false;
  bool readOnly = false;
};

// `file` is the FILE argument's bytes as given: names need not be UTF-8.
int Check(const QByteArray& file, bool json);
int Users(const QByteArray& file, bool json);
int Hold(const QByteArray& file, const HoldRequest& request);

// Writes to standard output at once. False if the text could not all be written (full
// disk, closed descriptor, broken pipe); the failure is remembered for Finish.
bool Print(const QByteArray& text);
QByteArray JsonLine(const QJsonObject& object);  // compact, with the newline
// "filesystem" (the mount's type) and "locks" (who sees its locks: "local", "forwarded",
// "this computer only").
void AddMountFields(const quillet::MountLocks& mount, QJsonObject* object);
// "samba": whether the Samba server here could be asked who has `file` open ("read"), or
// "not read: " and why.
void AddSambaField(const QByteArray& file, QJsonObject* object);

// "quilletctl: error NUMBER: DESCRIPTION" on standard error.
int EngineError(const quillet::Status& status);

// Closes standard output and gives `status`, unless output was lost: then a message on
// standard error and kExitSystem, since a script reading us would act on partial output.
int Finish(int status);

}  // namespace quilletctl
