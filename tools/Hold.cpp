// hold: keeps a database open the way another workstation would, until told to stop.

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/probe/LockingProbe.h"
#include "app/probe/RecordLevelOpen.h"
#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "tools/Commands.h"

namespace quilletctl {
namespace {

using quillet::Status;

// "holding FILE in Page Level mode", or in "an undetermined" one.
const char* LevelName(quillet::LockingMode mode) {
  const char* title = quillet::LockingModeTitle(mode);
  return title != nullptr ? title : "an undetermined";
}

Status OpenForRecordLevel(const QByteArray& file, const HoldRequest& request,
                          quillet::Connection* connection) {
  int32_t adoMode = request.exclusive ? quillet::adModeShareExclusive : quillet::adModeUnknown;
  if (request.readOnly) adoMode |= quillet::adModeRead;
  return quillet::OpenAskingForRecordLevel(connection, file.toStdString(), adoMode);
}

// Until a stop signal comes, or, when standard output is a pipe or socket, its reader goes
// away (`hold ... | head -n1`): a hold nobody reads any more would otherwise go on forever.
// Output to a file or terminal is never watched.
void WaitForStop(const sigset_t& stopSignals) {
  namespace posix = quillet::posix;
  struct stat output;
  const bool watchOutput = posix::Fstat(STDOUT_FILENO, &output) == 0 &&
                           (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode));
  const quillet::UniqueFd signalFd(watchOutput ? posix::SignalFd(stopSignals) : -1);
  if (!signalFd.valid()) {
    int signal = 0;
    (void)posix::WaitForSignal(stopSignals, &signal);
    return;
  }
  // POLLERR and POLLHUP are reported whatever is asked for.
  pollfd watched[] = {{signalFd.get(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
  (void)posix::Poll(watched, -1);
}

}  // namespace

int Hold(const QByteArray& file, const HoldRequest& request) {
  // Block the stop signals before opening, so one that arrives early waits for sigwait
  // instead of killing us with the file half held. SIGPIPE among them: a reader that went
  // away is a reason to let go, not to die holding the file.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&stopSignals, stop);
  if (const int error = quillet::posix::BlockSignals(stopSignals); error != 0) {
    std::fprintf(stderr, "quilletctl: pthread_sigmask: %s\n", std::strerror(error));
    return kExitSystem;
  }

  quillet::DatabasePtr database;
  quillet::Connection connection;
  quillet::LockingMode mode = quillet::LockingMode::kUnknown;
  if (request.record) {
    const Status opened = OpenForRecordLevel(file, request, &connection);
    if (!opened.ok()) return EngineError(opened);
    mode = quillet::ModeInEffect(connection);
  } else {
    const Status opened = quillet::DBEngine::Instance().OpenDatabase(
        file.toStdString(), &database,
        quillet::DaoOpenOptions{request.exclusive, request.readOnly});
    if (!opened.ok()) return EngineError(opened);
    // An exclusive opener is the first opener, and DAO always asks for page level; a
    // shared one joined whatever was in effect, so ask the way the window asks.
    mode = request.exclusive ? quillet::LockingMode::kPage : quillet::GetLockingMode(database);
  }
  const auto close = [&] { return request.record ? connection.Close() : database->Close(); };

  const bool otherMode = request.record && mode != quillet::LockingMode::kRecord;
  QByteArray ready = "holding " + Escaped(file) + " in " + LevelName(mode) + " mode";
  if (request.exclusive) ready += " (exclusive)";
  if (otherMode) ready += ", not the Record Level mode asked for";
  if (!Print(ready + '\n')) {
    // Whoever waits for this line will never see it: let go now rather than hold for nobody.
    const Status closed = close();
    return Finish(closed.ok() ? kExitOk : EngineError(closed));
  }

  WaitForStop(stopSignals);

  const Status closed = close();
  if (!closed.ok()) return Finish(EngineError(closed));
  return Finish(otherMode ? kExitOtherMode : kExitOk);
}

}  // namespace quilletctl
