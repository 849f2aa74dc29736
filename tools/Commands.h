#pragma once

// The commands of quilletctl and what they share: how they print and how they end.

#include <QByteArray>
#include <QJsonObject>

#include "platform/Status.h"

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
// A file name in JSON: its text under `key` and, when that text does not give back its
// bytes (a name that is not UTF-8), the exact bytes in base64 under key + "Bytes".
void PutPath(QJsonObject* object, const QString& key, const QByteArray& path);

// "quilletctl: error NUMBER: DESCRIPTION" on standard error.
int EngineError(const quillet::Status& status);

// Closes standard output and gives `status`, unless output was lost: then a message on
// standard error and kExitSystem, since a script reading us would act on partial output.
int Finish(int status);

}  // namespace quilletctl
