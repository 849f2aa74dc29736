// quilletctl: the engine from the command line. `check` tells a database's locking mode
// the way the window does; `users` lists who is in its lock file; `hold` keeps a database
// open the way another workstation would, for scripts and tests, until it is told to stop;
// `scan` tells who is in every database under some folders; `doctor` tells how the Samba
// server here serves them.

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include "platform/engine/StandardDescriptors.h"
#include "platform/samba/SambaOpeners.h"
#include "platform/samba/SambaServingSource.h"
#include "tools/Commands.h"

namespace {

using namespace quilletctl;

constexpr char kCommands[] =
    "\n"
    "Commands:\n"
    "  check FILE [--json]    open FILE as the Quillet window does and print the locking\n"
    "                         mode the database runs in\n"
    "  users FILE [--json]    list the records of FILE's lock file, one per line:\n"
    "                         SLOT, COMPUTER, ACCOUNT and STATE (\"live here\", \"live\n"
    "                         elsewhere\", \"left behind\" or \"unknown\"), separated by tabs\n"
    "  hold FILE [--page|--record] [--exclusive] [--read-only]\n"
    "                         open FILE and keep it open, as another workstation would,\n"
    "                         until SIGINT, SIGTERM, SIGHUP or SIGPIPE, or until the\n"
    "                         reader of its output goes away (a pipe or socket); then\n"
    "                         close it cleanly. Once it holds the file it prints one line:\n"
    "                         \"holding FILE in Page Level mode\" (or Record Level;\n"
    "                         \" (exclusive)\" is added for an exclusive hold)\n"
    "  scan DIR... [--json]   list every database (.mdb, .mde, .accdb, .accde) under each\n"
    "                         DIR, and every lock file whose database is missing, one\n"
    "                         per line: STATE (\"closed\", \"open\", \"other engine\",\n"
    "                         \"stale lock file\", \"unknown\" or \"not a database\"), MODE,\n"
    "                         LIVE HERE, LIVE ELSEWHERE, LEFT BEHIND, PATH and, for the\n"
    "                         last two states, REASON, separated by tabs. Reads only;\n"
    "                         links are not followed. Access databases are looked at\n"
    "                         from the outside only (their .laccdb and the locks)\n"
    "  scan DIR... --metrics [--metrics-file PATH]\n"
    "                         the same scan as figures in Prometheus' text format, on\n"
    "                         standard output or written whole to PATH\n"
    "  doctor [PATH...] [--json]\n"
    "                         tell which shares of the Samba server on this computer serve\n"
    "                         each PATH (default: list every share), and what in their\n"
    "                         settings endangers shared databases or hides their users:\n"
    "                         each finding with its evidence, risk and the smb.conf lines\n"
    "                         that fix it. Reads Samba's configuration with its testparm;\n"
    "                         changes nothing";

constexpr char kExitStatuses[] =
    "\n"
    "Put -- before a FILE whose name begins with '-'.\n"
    "Names and records in text output are escaped: \\\\ (backslash), \\t, \\n, \\r, \\xHH\n"
    "(other control bytes, bytes that are not UTF-8), \\u00HH (C1 characters).\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the engine refused the file; \"quilletctl: error NUMBER: DESCRIPTION\" on\n"
    "     standard error\n"
    "  2  usage error\n"
    "  3  system error: signal handling could not be set up, or the output could not\n"
    "     be written\n"
    "  4  hold --record held the database in Page Level or an undetermined mode\n"
    "  5  scan: someone is, or may be, in a database found (open, other engine,\n"
    "     unknown), or a folder inside a DIR could not be read; scan exits 1 when a\n"
    "     DIR cannot be read at all\n"
    "  6  doctor: at least one share has a finding; doctor exits 1 when Samba's\n"
    "     configuration could not be read\n";

int UsageError(const QString& message) {
  // The message may quote an argument, which may be a hostile file's name.
  std::fprintf(stderr, "quilletctl: %s\nTry 'quilletctl --help'.\n",
               Escaped(message.toUtf8()).constData());
  return kExitUsage;
}

// Qt names an unknown option by its letters ("-dash.mdb" is d, a, s, ...): the argument
// that holds the first of them is named instead, as it may well be a file.
QString ParseError(const QCommandLineParser& parser, const QStringList& arguments) {
  const QStringList unknown = parser.unknownOptionNames();
  if (unknown.isEmpty()) return parser.errorText();
  for (const QString& argument : arguments.mid(1)) {
    if (argument == "--") break;
    const bool holds = argument.startsWith("--")
                           ? argument.mid(2).section('=', 0, 0) == unknown[0]
                           : argument.startsWith('-') && argument.mid(1).contains(unknown[0]);
    if (holds)
      return "unknown option '" + argument +
             "'; a FILE whose name begins with '-' needs -- before it";
  }
  return parser.errorText();
}

// QCommandLineParser works on QStrings, which cannot carry a file name that is not valid
// UTF-8 ("caf\xe9.mdb" from a Latin-1 share). Its positional arguments keep their order
// in argv, so the bytes of each are the next argument that decodes to it.
QByteArray RawPositional(const QStringList& positional, qsizetype index,
                         const QList<QByteArray>& raw) {
  qsizetype next = 0;
  for (qsizetype i = 0;; ++i, ++next) {
    while (QFile::decodeName(raw[next]) != positional[i]) ++next;
    if (i == index) return raw[next];
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed stdout must not let the database become fd 1.
  quillet::ReserveStandardDescriptors();
  // A reader that went away makes a write fail with EPIPE, reported as lost output,
  // instead of killing us.
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr) != 0) {
    std::perror("quilletctl: pthread_sigmask");
    return kExitSystem;
  }

  QCoreApplication app(argc, argv);
  // A Windows client of a Samba server here may hold a database open without a lock, and a
  // share may keep its clients' locks to itself.
  quillet::AskSambaForOtherOpeners();
  quillet::AskSambaForServingShares();
  QCoreApplication::setApplicationName("quilletctl");
  QCoreApplication::setApplicationVersion(QUILLET_VERSION);

  QCommandLineParser parser;
  parser.setApplicationDescription(kCommands);
  // Not addHelpOption: its --help-all lists Qt's GUI options, which a QCoreApplication lacks.
  const QCommandLineOption help({"h", "help"}, "Print this help.");
  const QCommandLineOption version({"v", "version"}, "Print the version.");
  const QCommandLineOption json(
      "json", "check, users, doctor: print one JSON object on one line; scan: one per database.");
  const QCommandLineOption page(
      "page", "hold: open through DAO; a first opener sets page-level locking (the default).");
  const QCommandLineOption record("record",
                                  "hold: open through ADO asking for record-level locking.");
  const QCommandLineOption exclusive(
      "exclusive", "hold: open exclusively; nobody else may open the file meanwhile.");
  const QCommandLineOption readOnly("read-only", "hold: open read-only.");
  const QCommandLineOption metrics(
      "metrics", "scan: print figures in Prometheus' text exposition format instead.");
  const QCommandLineOption metricsFile(
      "metrics-file",
      "scan: write those figures to PATH instead (a temporary file in its folder, then renamed "
      "over it), for the node exporter's textfile collector.",
      "PATH");
  parser.addOptions({help, version, json, page, record, exclusive, readOnly, metrics, metricsFile});
  parser.addPositionalArgument("command", "check, users, hold, scan or doctor.", "COMMAND");
  parser.addPositionalArgument("file", "The database (.mdb); for scan, folders; for doctor, any.",
                               "FILE|DIR...");

  QList<QByteArray> raw;
  QStringList arguments;
  arguments << QFile::decodeName(argv[0]);  // the program's name, which the parser skips
  for (int i = 1; i < argc; ++i) {
    raw << QByteArray(argv[i]);
    arguments << QFile::decodeName(raw.back());
  }
  if (!parser.parse(arguments)) return UsageError(ParseError(parser, arguments));
  if (parser.isSet(help)) {
    Print((parser.helpText() + kExitStatuses).toUtf8());
    return Finish(kExitOk);
  }
  if (parser.isSet(version)) {
    Print("quilletctl " QUILLET_VERSION "\n");
    return Finish(kExitOk);
  }

  const QStringList positional = parser.positionalArguments();
  if (positional.isEmpty()) return UsageError("missing command");
  const QString name = positional[0];

  // Every command once: the options it takes, whether it takes folders (one or more) or one
  // FILE, and what runs it. A command missing here is unknown, never another one.
  struct Command {
    QString name;
    QStringList options;
    bool folders;
    std::function<int(const QList<QByteArray>& paths)> run;
    bool pathsOptional = false;  // none at all is fine too
  };
  const bool asJson = parser.isSet(json);
  const std::vector<Command> commands = {
      {"check", json.names(), false, [&](const auto& paths) { return Check(paths[0], asJson); }},
      {"users", json.names(), false, [&](const auto& paths) { return Users(paths[0], asJson); }},
      {"hold", page.names() + record.names() + exclusive.names() + readOnly.names(), false,
       [&](const auto& paths) {
         return Hold(paths[0], HoldRequest{parser.isSet(record), parser.isSet(exclusive),
                                           parser.isSet(readOnly)});
       }},
      {"scan", json.names() + metrics.names() + metricsFile.names(), true,
       [&](const auto& paths) {
         return Scan(paths, asJson,
                     MetricsRequest{parser.isSet(metrics) || parser.isSet(metricsFile),
                                    QFile::encodeName(parser.value(metricsFile))});
       }},
      {"doctor", json.names(), true, [&](const auto& paths) { return Doctor(paths, asJson); },
       true},
  };
  const auto command = std::find_if(commands.begin(), commands.end(),
                                    [&](const Command& c) { return c.name == name; });
  if (command == commands.end()) return UsageError("unknown command '" + name + "'");
  for (const QString& option : parser.optionNames()) {
    if (!command->options.contains(option)) return UsageError(name + ": no option --" + option);
  }
  if (positional.size() < 2 && !command->pathsOptional)
    return UsageError(name + (command->folders ? ": missing DIR" : ": missing FILE"));
  if (!command->folders && positional.size() > 2)
    return UsageError(name + ": only one FILE, got '" + positional[2] + "' too");
  if (parser.isSet(page) && parser.isSet(record))
    return UsageError("hold: --page and --record exclude each other");
  if (parser.isSet(json) && (parser.isSet(metrics) || parser.isSet(metricsFile)))
    return UsageError("scan: --json and --metrics exclude each other");
  // The file is named by text: a name that is not UTF-8 would be written somewhere else.
  if (parser.isSet(metricsFile) &&
      (parser.value(metricsFile).isEmpty() || parser.value(metricsFile).contains(QChar(0xFFFD))))
    return UsageError("scan: --metrics-file needs a PATH in UTF-8");

  QList<QByteArray> paths;
  for (qsizetype i = 1; i < positional.size(); ++i) paths << RawPositional(positional, i, raw);
  return command->run(paths);
}
