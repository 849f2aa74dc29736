// users: who is in a database's lock file, read without joining it.

#include <QFile>
#include <QJsonArray>
#include <QStringDecoder>

#include "platform/engine/AccessFiles.h"
#include "platform/engine/LockFileUsers.h"
#include "platform/engine/SambaServing.h"
#include "tools/Commands.h"

namespace quilletctl {
namespace {

using quillet::LockFileUser;

const char* StateName(LockFileUser::State state) {
  switch (state) {
    case LockFileUser::State::kLiveHere: return "live here";
    case LockFileUser::State::kLiveElsewhere: return "live elsewhere";
    case LockFileUser::State::kUnknown: return "unknown";
    case LockFileUser::State::kOpenWithoutLock: return "open through Samba";
    case LockFileUser::State::kLeftBehind: break;
  }
  return "left behind";
}

// Jet writes the names in the Windows ANSI code page of the workstation; Windows-1252 is
// the usual one, and Latin-1 agrees with it outside 0x80-0x9F.
QString FromAnsi(const std::string& bytes) {
  QStringDecoder windows1252("Windows-1252");
  const QByteArray raw = QByteArray::fromStdString(bytes);
  return windows1252.isValid() ? windows1252.decode(raw) : QString::fromLatin1(raw);
}

}  // namespace

QJsonArray UsersJson(const std::vector<LockFileUser>& users) {
  QJsonArray records;
  for (const LockFileUser& user : users) {
    if (user.slot < 0) continue;  // an open without a record: SambaOpensJson
    records.append(QJsonObject{{"slot", user.slot},
                               {"computer", FromAnsi(user.computer)},
                               {"account", FromAnsi(user.account)},
                               {"state", StateName(user.state)}});
  }
  return records;
}

QJsonArray SambaOpensJson(const std::vector<LockFileUser>& users) {
  QJsonArray opens;
  for (const LockFileUser& user : users) {
    if (user.slot >= 0) continue;
    opens.append(QJsonObject{{"computer", FromAnsi(user.computer)},
                             {"account", FromAnsi(user.account)},
                             {"state", StateName(user.state)},
                             {"shareMode", user.exclusive ? "exclusive" : "shared"},
                             {"address", QString::fromStdString(user.address)}});
  }
  return opens;
}

int Users(const QByteArray& file, bool json) {
  std::string lockPath;
  std::vector<LockFileUser> users;
  // An Access database's .laccdb is read from the outside: the engine never opens one.
  const auto reader = quillet::IsAccessDatabaseName(file.toStdString())
                          ? quillet::ReadAccessLockFileUsers
                          : quillet::ReadLockFileUsers;
  const quillet::Status read = reader(file.toStdString(), &lockPath, &users);
  if (!read.ok()) return EngineError(read);

  if (json) {
    QJsonObject object{{"users", UsersJson(users)}, {"sambaOpens", SambaOpensJson(users)}};
    AddPathField(&object, "file", file);
    AddPathField(&object, "lockFile", QByteArray::fromStdString(lockPath));
    AddMountFields(quillet::DatabaseLocksOf(file.toStdString()), &object);
    AddSambaField(file, &object);
    AddSambaShareFields(file, &object);
    Print(JsonLine(object));
  } else {
    // Windows-1252 has no character for 0x81, 0x8D, 0x8F, 0x90 and 0x9D: they decode to
    // C1 controls, which Escaped shows as \u0081 and so on.
    for (const LockFileUser& user : users) {
      const QByteArray line = (user.slot < 0 ? QByteArray("-") : QByteArray::number(user.slot)) +
                              '\t' + Escaped(FromAnsi(user.computer).toUtf8()) + '\t' +
                              Escaped(FromAnsi(user.account).toUtf8()) + '\t' +
                              StateName(user.state) + '\n';
      if (!Print(line)) break;
    }
  }
  return Finish(kExitOk);
}

}  // namespace quilletctl
