#include "EngineTestUtil.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/ErrObject.h"

namespace quillet::test {

TempFolder::TempFolder() : path_(ToLocalBytes(dir_.path())) {
  if (!dir_.isValid()) qFatal("cannot create a temporary folder");
  dir_.setAutoRemove(false);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(path_), ignored);
}

std::string TempFolder::write(const std::string& name, const QByteArray& bytes) const {
  const std::string path = file(name);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.constData(), bytes.size()) != bytes.size())
    qFatal("cannot write fixture %s", path.c_str());
  ::close(fd);
  return path;
}

std::string TempFolder::database(const std::string& name, JetVersion version) const {
  return write(name, JetDatabaseBytes(version));
}

void TempFolder::openToEveryone() const { ::chmod(path_.c_str(), 0755); }

bool Exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

off_t SizeOf(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

QByteArray ReadBytes(const std::string& path) {
  QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.readAll();
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
  connection.SetCursorLocation(adUseServer);
  if (status.ok()) status = connection.Open({}, {}, {}, adOptionUnspecified);
  return status;
}

int32_t ModeOf(const Connection& connection) {
  PropertyValue value;
  if (!connection.GetProperty(kPropLockingMode, &value).ok()) return -100;
  const int32_t* mode = std::get_if<int32_t>(&value);
  return mode ? *mode : -100;
}

std::string Quilletctl() { return ToLocalBytes(QuilletctlPath()); }

OtherProcess::OtherProcess(const std::vector<std::string>& args, uid_t uid) {
  const std::string program = Quilletctl();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) qFatal("pipe");
  pid_ = ::fork();
  if (pid_ < 0) qFatal("fork");
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (uid != kSameUser) {
      const gid_t gid = static_cast<gid_t>(uid);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
          ::setresuid(uid, uid, uid) != 0)
        ::_exit(126);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

OtherProcess::~OtherProcess() {
  if (!exitCode_) stop();
  ::close(out_);
  ::close(err_);
}

std::optional<std::string> OtherProcess::firstLine(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t newline = outBuffer_.find('\n');
    if (newline != std::string::npos) return outBuffer_.substr(0, newline);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd poller{out_, POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    const ssize_t got = ::read(out_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;  // the process closed its output: it ended
    outBuffer_.append(buffer, static_cast<size_t>(got));
  }
}

int OtherProcess::wait(int timeoutMs) {
  if (exitCode_) return *exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return *exitCode_;
}

int OtherProcess::stop() {
  if (exitCode_) return *exitCode_;
  ::kill(pid_, SIGTERM);
  return wait();
}

void OtherProcess::kill() {
  if (exitCode_) return;
  ::kill(pid_, SIGKILL);
  wait();
}

std::string OtherProcess::standardError() {
  std::string text;
  char buffer[512];
  const int flags = ::fcntl(err_, F_GETFL);
  ::fcntl(err_, F_SETFL, flags | O_NONBLOCK);
  ssize_t got;
  while ((got = ::read(err_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

}  // namespace quillet::test
