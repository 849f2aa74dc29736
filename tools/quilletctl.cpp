// quilletctl: the engine from the command line. `check` tells a database's locking mode
// the way the window does; `hold` keeps a database open the way another workstation
// would, for scripts and tests, until it is told to stop.

#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/LockingProbe.h"
#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"

namespace {

using quillet::Status;

constexpr int kExitOk = 0;
constexpr int kExitEngineError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSystem = 3;

constexpr char kHelp[] =
    "Usage:\n"
    "  quilletctl check FILE\n"
    "  quilletctl hold FILE [--page|--record] [--exclusive] [--read-only]\n"
    "  quilletctl --help\n"
    "\n"
    "check  opens FILE as the Quillet window does and prints the locking mode the\n"
    "       database runs in.\n"
    "hold   opens FILE and keeps it open, as another workstation would, until SIGINT,\n"
    "       SIGTERM or SIGHUP; then closes it cleanly. Once it holds the file it prints\n"
    "       one line: \"holding FILE in Page Level mode\" (or Record Level; \" (exclusive)\"\n"
    "       is added for an exclusive hold).\n"
    "         --page       open through DAO; a first opener sets page-level locking\n"
    "                      (the default)\n"
    "         --record     open through ADO asking for record-level locking\n"
    "         --exclusive  open exclusively: nobody else may open the file meanwhile\n"
    "         --read-only  open read-only\n"
    "Put -- before a FILE whose name begins with '-'.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the engine refused the file; \"error NUMBER: DESCRIPTION\" on standard error\n"
    "  2  usage error\n"
    "  3  system error (signal handling could not be set up)\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quilletctl: %s\nTry 'quilletctl --help'.\n", message.c_str());
  return kExitUsage;
}

int EngineError(const Status& status) {
  std::fprintf(stderr, "error %d: %s\n", static_cast<int>(status.number()),
               status.description().c_str());
  return kExitEngineError;
}

struct HoldRequest {
  bool record = false;
  bool exclusive = false;
  bool readOnly = false;
};

const char* LevelName(quillet::LockingMode mode) {
  switch (mode) {
    case 0: return "Page Level";
    case 1: return "Record Level";
    default: return "an undetermined";
  }
}

int Check(const std::string& file) {
  quillet::DatabasePtr database;
  const Status status = quillet::DBEngine::Instance().OpenDatabase(file, &database);
  if (!status.ok()) return EngineError(status);
  std::printf("%s\n", quillet::LockingModeText(quillet::GetLockingMode(database)).toStdString().c_str());
  return kExitOk;
}

int Hold(const std::string& file, const HoldRequest& request) {
  // Block the stop signals before opening, so one that arrives early waits for sigwait
  // instead of killing us with the file half held.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::perror("quilletctl: sigprocmask");
    return kExitSystem;
  }

  quillet::DatabasePtr database;
  quillet::Connection connection;
  quillet::LockingMode mode = -1;
  if (request.record) {
    connection.SetProvider(quillet::kJetOleDbProvider);
    Status status = connection.SetProperty(quillet::kPropDataSource, file);
    if (status.ok()) status = connection.SetProperty(quillet::kPropLockingMode, int32_t{1});
    int32_t adoMode = request.exclusive ? quillet::adModeShareExclusive : quillet::adModeUnknown;
    if (request.readOnly) adoMode |= quillet::adModeRead;
    if (status.ok()) status = connection.SetMode(adoMode);
    if (status.ok()) status = connection.Open();
    if (!status.ok()) return EngineError(status);
    quillet::PropertyValue value;
    if (connection.GetProperty(quillet::kPropLockingMode, &value).ok() &&
        std::holds_alternative<int32_t>(value))
      mode = std::get<int32_t>(value) == 1 ? 1 : 0;
  } else {
    const Status status = quillet::DBEngine::Instance().OpenDatabase(
        file, &database, quillet::DaoOpenOptions{request.exclusive, request.readOnly});
    if (!status.ok()) return EngineError(status);
    // An exclusive opener is the first opener, and DAO always asks for page level; a
    // shared one joined whatever was in effect, so ask the way the window asks.
    mode = request.exclusive ? 0 : quillet::GetLockingMode(database);
  }

  std::printf("holding %s in %s mode%s\n", file.c_str(), LevelName(mode),
              request.exclusive ? " (exclusive)" : "");
  std::fflush(stdout);

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }

  const Status closed = request.record ? connection.Close() : database->Close();
  if (!closed.ok()) return EngineError(closed);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("missing command");
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }

  const std::string command = args[0];
  if (command != "check" && command != "hold") return UsageError("unknown command '" + command + "'");

  std::vector<std::string> files;
  HoldRequest request;
  bool page = false;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (command == "hold" && arg == "--record") {
      request.record = true;
    } else if (command == "hold" && arg == "--page") {
      page = true;
    } else if (command == "hold" && arg == "--exclusive") {
      request.exclusive = true;
    } else if (command == "hold" && arg == "--read-only") {
      request.readOnly = true;
    } else {
      return UsageError("unknown option '" + arg + "' for " + command);
    }
  }
  if (files.empty()) return UsageError(command + ": missing FILE");
  if (files.size() > 1) return UsageError(command + ": only one FILE, got '" + files[1] + "' too");
  if (page && request.record) return UsageError("hold: --page and --record exclude each other");

  return command == "check" ? Check(files[0]) : Hold(files[0], request);
}
