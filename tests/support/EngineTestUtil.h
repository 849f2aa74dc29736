#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "platform/engine/AccessFiles.h"
#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"
#include "platform/engine/DatabaseScan.h"
#include "support/DataRows.h"
#include "support/Fixtures.h"

namespace quillet::test {

// A temporary folder by byte paths (QTemporaryDir cannot remove names that are not UTF-8).
struct TempFolder {
  TempFolder() : path((std::filesystem::temp_directory_path() / "quillet-XXXXXX").string()) {
    if (!::mkdtemp(path.data())) qFatal("cannot create a temporary folder");
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string write(const std::string& name, const QByteArray& bytes) const {
    if (!std::ofstream(file(name), std::ios::binary).write(bytes.constData(), bytes.size()))
      qFatal("cannot write %s", name.c_str());
    return file(name);
  }
  std::string database(const std::string& name) const { return write(name, JetDatabaseBytes()); }
  std::string accessDatabase(const std::string& name) const {
    return write(name, AceDatabaseBytes());
  }
  std::string path;
};

inline bool Exists(const std::string& path) {  // a link counts, wherever it points
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}
inline QByteArray ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
}

inline Status OpenDao(const std::string& path, DatabasePtr* database, bool exclusive = false) {
  return DBEngine::Instance().OpenDatabase(path, database, DaoOpenOptions{exclusive});
}
// Opens through properties, as the probe does.
inline Status OpenAdo(Connection& connection, const std::string& path, int32_t lockingMode,
                      int32_t adoMode = adModeUnknown) {
  connection.SetProvider(kJetOleDbProvider);
  connection.SetMode(adoMode);
  connection.SetProperty(kPropDataSource, path);
  connection.SetProperty(kPropLockingMode, lockingMode);
  return connection.Open();
}
inline int32_t ModeOf(const Connection& connection) {  // -100 if unreadable
  PropertyValue value;
  return connection.GetProperty(kPropLockingMode, &value).ok() ? std::get<int32_t>(value) : -100;
}
// The mode a second ADO connection asking for none joins in, as the probe reads it; else -1.
inline int32_t JoinedMode(const DatabasePtr& database) {
  Connection connection;
  connection.SetProvider(kJetOleDbProvider);
  connection.SetProperty(kPropDataSource, database->Name());
  PropertyValue value;
  if (!connection.Open().ok() || !connection.GetProperty(kPropLockingMode, &value).ok()) return -1;
  return std::get<int32_t>(value);
}
inline QJsonObject JsonOf(const std::string& line) {  // empty unless a JSON object
  return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}
// This computer's name as its records in a lock file give it.
inline QByteArray Host() { return QSysInfo::machineHostName().toUtf8().left(32); }
// "page", "record" or "" as `quilletctl check` finds it in another process (as uid if given).
inline QString CheckedMode(const std::string& path, uid_t uid = uid_t(-1)) {
  return JsonOf(OtherProcess({"check", path, "--json"}, uid).output())["mode"].toString();
}
// What a scan tells of the one file at path (an Access file by its name).
inline DatabaseScan Scanned(const std::string& path, bool orphanLockFile = false) {
  std::vector<DatabaseScan> scans(1);
  scans[0].path = path;
  scans[0].orphanLockFile = orphanLockFile;
  scans[0].access = IsAccessDatabaseName(path);
  DatabaseScanner().Scan(&scans);
  return scans[0];
}
inline std::string Failure(const Status& status) {
  return std::to_string(status.number()) + ": " + status.description();
}
inline const std::string kOk = Failure(Status::OK());

}  // namespace quillet::test

namespace QTest {
template <>
inline char* toString(const std::string& text) {
  return qstrdup(text.c_str());
}
}  // namespace QTest
