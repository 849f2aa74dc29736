#include "EngineTestUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quillet::test {

TempFolder::TempFolder() {
  path = (std::filesystem::temp_directory_path() / "quillet-XXXXXX").string();
  if (!::mkdtemp(path.data())) qFatal("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string TempFolder::write(const std::string& name, const QByteArray& bytes) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.constData(), bytes.size()).flush()) qFatal("cannot write %s", name.c_str());
  return file(name);
}

off_t SizeOf(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

QByteArray ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
}

Status OpenDao(const std::string& path, DatabasePtr* database, bool exclusive, bool readOnly) {
  return DBEngine::Instance().OpenDatabase(path, database, DaoOpenOptions{exclusive, readOnly});
}

Status OpenAdo(Connection& connection, const std::string& path, int32_t lockingMode,
               int32_t adoMode) {
  connection.SetProvider(kJetOleDbProvider);
  Status status = connection.SetProperty(kPropDataSource, path);
  if (status.ok() && lockingMode >= 0) status = connection.SetProperty(kPropLockingMode, lockingMode);
  if (status.ok()) status = connection.SetMode(adoMode);
  return status.ok() ? connection.Open({}, {}, {}, adOptionUnspecified) : status;
}

int32_t ModeOf(const Connection& connection) {
  PropertyValue value;
  const bool read = connection.GetProperty(kPropLockingMode, &value).ok();
  return read && std::holds_alternative<int32_t>(value) ? std::get<int32_t>(value) : -100;
}

}  // namespace quillet::test
