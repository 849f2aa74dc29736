#include "tools/CommandTable.h"

#include <QFile>
#include <QRegularExpression>
#include <algorithm>

#include "tools/Commands.h"

namespace quilletctl {
namespace {

int RunCheck(const Invocation& in) { return Check(in.paths[0], in.isSet("json")); }

int RunUsers(const Invocation& in) { return Users(in.paths[0], in.isSet("json")); }

int RunHold(const Invocation& in) {
  if (in.isSet("page") && in.isSet("record"))
    return UsageError("hold: --page and --record exclude each other");
  return Hold(in.paths[0],
              HoldRequest{in.isSet("record"), in.isSet("exclusive"), in.isSet("read-only")});
}

int RunScan(const Invocation& in) {
  const bool metrics = in.isSet("metrics") || in.isSet("metrics-file");
  if (in.isSet("json") && metrics)
    return UsageError("scan: --json and --metrics exclude each other");
  // The file is named by text: a name that is not UTF-8 would be written somewhere else.
  const QString file = in.value("metrics-file");
  if (in.isSet("metrics-file") && (file.isEmpty() || file.contains(QChar(0xFFFD))))
    return UsageError("scan: --metrics-file needs a PATH in UTF-8");
  return Scan(in.paths, in.isSet("json"), MetricsRequest{metrics, QFile::encodeName(file)});
}

int RunDoctor(const Invocation& in) { return Doctor(in.paths, in.isSet("json")); }

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"check",
       Takes::kJetDatabase,
       {{"[--json]",
         "open FILE as the Quillet window does and print the locking mode the database runs "
         "in: the window's information line"}},
       RunCheck},
      {"users",
       Takes::kDatabase,
       {{"[--json]",
         "list the records of FILE's lock file, one per line: SLOT, COMPUTER, ACCOUNT and STATE "
         "(\"live here\", \"live elsewhere\", \"left behind\" or \"unknown\"), separated by "
         "tabs; then the opens of FILE that only Samba's table shows, with SLOT \"-\" and STATE "
         "\"open through Samba\". Reads only"}},
       RunUsers},
      {"hold",
       Takes::kJetDatabase,
       {{"[--page|--record] [--exclusive] [--read-only]",
         "open FILE and keep it open, as another workstation would, until SIGINT, SIGTERM, "
         "SIGHUP or SIGPIPE, or until the reader of its output goes away (a pipe or socket); "
         "then close it cleanly. Once it holds the file it prints one line: \"holding FILE in "
         "Page Level mode\" (or Record Level, or an undetermined mode), which says so too where "
         "it holds exclusively, and where --record did not get record level (then it exits 4)"}},
       RunHold},
      {"scan",
       Takes::kFolders,
       {{"[--json]",
         "list every database (.mdb, .mde, .accdb, .accde) under each DIR, and every lock file "
         "whose database is missing, one per line: STATE (\"closed\", \"open\", \"other "
         "engine\", \"stale lock file\", \"unknown\" or \"not a database\"), MODE, LIVE HERE, "
         "LIVE ELSEWHERE, LEFT BEHIND, PATH and, where the state has one, REASON, separated by "
         "tabs. \"unknown\" and \"not a database\" carry a reason, and so does \"other engine\" "
         "where a client has the database open through Samba, which it names. Reads only; "
         "links are not followed. Access databases are looked at from the outside only (their "
         ".laccdb and the locks)"},
        {"--metrics [--metrics-file PATH]",
         "the same scan as figures in Prometheus' text format, on standard output or written "
         "whole to PATH; the exit status is scan's"}},
       RunScan},
      {"doctor",
       Takes::kPaths,
       {{"[--json]",
         "tell which shares of the Samba server on this computer serve each PATH (default: "
         "list every share), and what in their settings endangers shared databases or hides "
         "their users: each finding with its evidence, risk and the smb.conf lines that fix it. "
         "Reads Samba's configuration with its testparm; changes nothing"}},
       RunDoctor},
  };
  return commands;
}

const std::vector<Option>& Options() {
  static const std::vector<Option> options = {
      {"json", nullptr,
       "print one JSON object on one line instead of text (scan: one per database)."},
      {"page", nullptr, "open through DAO; a first opener sets page-level locking (the default)."},
      {"record", nullptr, "open through ADO asking for record-level locking."},
      {"exclusive", nullptr, "open exclusively; nobody else may open the file meanwhile."},
      {"read-only", nullptr, "open read-only."},
      {"metrics", nullptr, "print figures in Prometheus' text exposition format instead."},
      {"metrics-file", "PATH",
       "write those figures to PATH instead (a temporary file in its folder, then renamed over "
       "it), for the node exporter's textfile collector."},
  };
  return options;
}

const char* PathsPlaceholder(Takes takes) {
  switch (takes) {
    case Takes::kJetDatabase:
    case Takes::kDatabase: return "FILE";
    case Takes::kFolders: return "DIR...";
    case Takes::kPaths: break;
  }
  return "[PATH...]";
}

QStringList Command::options() const {
  static const QRegularExpression named("--([a-z-]+)");
  QStringList names;
  for (const Usage& usage : usages) {
    for (const QRegularExpressionMatch& option : named.globalMatch(usage.options)) {
      if (!names.contains(option.captured(1))) names << option.captured(1);
    }
  }
  return names;
}

QStringList Command::synopses() const {
  QStringList lines;
  for (const Usage& usage : usages)
    lines << QString("%1 %2 %3").arg(name, PathsPlaceholder(takes), usage.options);
  return lines;
}

const Command* FindCommand(const QString& name) {
  const auto found = std::find_if(Commands().begin(), Commands().end(),
                                  [&](const Command& command) { return name == command.name; });
  return found == Commands().end() ? nullptr : &*found;
}

}  // namespace quilletctl
