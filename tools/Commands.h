#pragma once

// The commands of quilletctl and what they share: how they print and how they end.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <vector>

#include "platform/base/Status.h"
#include "platform/engine/LockFileUsers.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/LockingMode.h"
#include "platform/samba/SambaConfig.h"
#include "platform/samba/SambaFindings.h"
#include "tools/Escaped.h"

namespace quilletctl {

enum ExitStatus {
  kExitOk = 0,
  kExitEngineError = 1,  // the engine refused the file; scan: a DIR could not be read
  kExitUsage = 2,
  kExitSystem = 3,     // signal handling could not be set up, or output was lost
  kExitOtherMode = 4,  // hold --record held the database in another or an unknown mode
  kExitInUse = 5,      // scan: someone is, or may be, in a database found
  kExitFindings = 6,   // doctor: a share has at least one finding
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
// scan --metrics: the figures on standard output, or with --metrics-file written to `file`.
struct MetricsRequest {
  bool wanted = false;
  QByteArray file;  // empty: standard output
};
int Scan(const QList<QByteArray>& folders, bool json, const MetricsRequest& metrics = {});
// No path: every share of Samba's configuration.
int Doctor(const QList<QByteArray>& paths, bool json);

// Writes to standard output at once. False if the text could not all be written (full
// disk, closed descriptor, broken pipe); the failure is remembered for Finish.
bool Print(const QByteArray& text);
QByteArray JsonLine(const QJsonObject& object);  // compact, with the newline
// "mode": the word of the mode a database runs in, null where it cannot be read (an
// exclusive connection's cannot be by anyone else).
QJsonValue ModeJson(quillet::LockingMode mode);
// "filesystem" (the mount's type) and "locks" (who sees its locks: "local", "forwarded",
// "this computer only", "hidden by Samba", "in Samba's table": LocksName).
void AddMountFields(const quillet::MountLocks& mount, QJsonObject* object);
// "sambaConfiguration": whether Samba's configuration was read ("read", or "not read: " and
// why), and "sambaShares": the shares serving a file (ServingFindingIds), each {"name",
// "serves" ("yes", or "maybe" where its folder is filled in per user), "findings" (their
// ids, as doctor's)}.
void AddSambaShareFields(const quillet::SambaConfig& config,
                         const std::vector<quillet::ShareFindingIds>& shares, QJsonObject* object);
// The same for `file`, from this process's reader of the configuration.
void AddSambaShareFields(const QByteArray& file, QJsonObject* object);
// "samba": whether the Samba server here could be asked who has `file` open ("read"), or
// "not read: " and why.
void AddSambaField(const QByteArray& file, QJsonObject* object);
// `key` holding the path as text; where its bytes are not UTF-8, which text cannot carry,
// "<key>Bytes" holds them too, in base64.
void AddPathField(QJsonObject* object, const char* key, const QByteArray& bytes);
// The records of a lock file as `users --json` lists them, and the opens without a record
// that Samba's table shows.
QJsonArray UsersJson(const std::vector<quillet::LockFileUser>& users);
QJsonArray SambaOpensJson(const std::vector<quillet::LockFileUser>& users);

// "quilletctl: MESSAGE" and where to look on standard error, the message Escaped (it may
// quote an argument); kExitUsage.
int UsageError(const QString& message);
// "quilletctl: error NUMBER: DESCRIPTION" on standard error, the description Escaped (it
// may hold a path).
int EngineError(const quillet::Status& status);

// Closes standard output and gives `status`, unless output was lost: then a message on
// standard error and kExitSystem, since a script reading us would act on partial output.
int Finish(int status);

}  // namespace quilletctl
