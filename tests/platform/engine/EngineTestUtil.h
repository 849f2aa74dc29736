#pragma once

#include <sys/types.h>

#include <QProcess>
#include <QTest>
#include <csignal>
#include <string>
#include <vector>

#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"
#include "support/Fixtures.h"

namespace quillet::test {

// A temporary folder addressed by byte paths, as the engine takes them; QTemporaryDir
// could not remove names that are not UTF-8.
struct TempFolder {
  TempFolder();
  ~TempFolder();
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string write(const std::string& name, const QByteArray& bytes) const;
  std::string database(const std::string& name) const { return write(name, JetDatabaseBytes()); }
  std::string path;
};

off_t SizeOf(const std::string& path);  // lstat; -1 if missing
inline bool Exists(const std::string& path) { return SizeOf(path) >= 0; }
QByteArray ReadBytes(const std::string& path);

Status OpenDao(const std::string& path, DatabasePtr* database, bool exclusive = false,
               bool readOnly = false);
// Opens as the probe does, asking for lockingMode (-1: leave the property alone).
Status OpenAdo(Connection& connection, const std::string& path, int32_t lockingMode,
               int32_t adoMode = adModeUnknown);
int32_t ModeOf(const Connection& connection);  // -100 if unreadable
inline std::string Failure(const Status& status) {
  return std::to_string(status.number()) + ": " + status.description();
}

}  // namespace quillet::test

namespace QTest {
template <>
inline char* toString(const std::string& text) { return qstrdup(text.c_str()); }
}  // namespace QTest
