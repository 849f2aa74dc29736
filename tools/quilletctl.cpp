// quilletctl: the engine from the command line. `check` tells a database's locking mode
// the way the window does; `users` lists who is in its lock file; `hold` keeps a database
// open the way another workstation would, for scripts and tests, until it is told to stop;
// `scan` tells who is in every database under some folders; `doctor` tells how the Samba
// server here serves them.

#include <signal.h>

#include <cstdio>
#include <cstring>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include "platform/base/Posix.h"
#include "platform/base/StandardDescriptors.h"
#include "platform/samba/SambaOpeners.h"
#include "tools/CommandTable.h"
#include "platform/samba/SambaServingSource.h"
#include "tools/Commands.h"

namespace {

using namespace quilletctl;

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

// A reader that went away makes a write fail with EPIPE, reported as lost output, instead
// of killing us.
bool BlockBrokenPipe() {
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  const int error = quillet::posix::BlockSignals(brokenPipe);
  if (error == 0) return true;
  std::fprintf(stderr, "quilletctl: pthread_sigmask: %s\n", std::strerror(error));
  return false;
}

// Every command's options (a command refuses those it does not take), what --help shows of
// them and of the arguments, and the program's own options.
void DescribeOptions(QCommandLineParser* parser, const QList<QCommandLineOption>& own) {
  parser->setApplicationDescription(CommandsHelp());
  parser->addOptions(own);
  for (const Option& option : Options()) {
    parser->addOption(QCommandLineOption(option.name, OptionHelp(option),
                                         option.valueName ? option.valueName : QString()));
  }
  parser->addPositionalArgument("command", CommandNames() + '.', "COMMAND");
  parser->addPositionalArgument("paths", ArgumentsHelp(), ArgumentsSyntax());
}

// The command named, once what every command asks of its arguments holds: options it takes,
// and paths of the number it takes.
int RunCommand(const QCommandLineParser& parser, const QList<QByteArray>& raw) {
  const QStringList positional = parser.positionalArguments();
  if (positional.isEmpty()) return UsageError("missing command");
  const QString name = positional[0];
  const Command* command = FindCommand(name);
  if (command == nullptr) return UsageError("unknown command '" + name + "'");
  const QStringList accepted = command->options();
  for (const QString& option : parser.optionNames()) {
    if (!accepted.contains(option)) return UsageError(name + ": no option --" + option);
  }
  const bool oneFile = command->takes == Takes::kJetDatabase || command->takes == Takes::kDatabase;
  if (positional.size() < 2 && command->takes != Takes::kPaths)
    return UsageError(name + (oneFile ? ": missing FILE" : ": missing DIR"));
  if (oneFile && positional.size() > 2)
    return UsageError(name + ": only one FILE, got '" + positional[2] + "' too");

  Invocation invocation{parser, {}};
  for (qsizetype i = 1; i < positional.size(); ++i)
    invocation.paths << RawPositional(positional, i, raw);
  return command->run(invocation);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed stdout must not let the database become fd 1.
  quillet::ReserveStandardDescriptors();
  if (!BlockBrokenPipe()) return kExitSystem;

  QCoreApplication app(argc, argv);
  // A Windows client of a Samba server here may hold a database open without a lock, and a
  // share may keep its clients' locks to itself.
  quillet::AskSambaForOtherOpeners();
  quillet::AskSambaForServingShares();
  QCoreApplication::setApplicationName("quilletctl");
  QCoreApplication::setApplicationVersion(QUILLET_VERSION);

  QCommandLineParser parser;
  // Not addHelpOption: its --help-all lists Qt's GUI options, which a QCoreApplication lacks.
  const QCommandLineOption help({"h", "help"}, "Print this help.");
  const QCommandLineOption version({"v", "version"}, "Print the version.");
  // For the packaging's checks of the manual page and the shells' completions: --help says
  // in prose what kind of path each command takes, which they would have to parse.
  QCommandLineOption listing("list-commands", "Print each command, what it takes, its options.");
  listing.setFlags(QCommandLineOption::HiddenFromHelp);
  DescribeOptions(&parser, {help, version, listing});

  QList<QByteArray> raw;
  QStringList arguments;
  arguments << QFile::decodeName(argv[0]);  // the program's name, which the parser skips
  for (int i = 1; i < argc; ++i) {
    raw << QByteArray(argv[i]);
    arguments << QFile::decodeName(raw.back());
  }
  if (!parser.parse(arguments)) return UsageError(ParseError(parser, arguments));
  if (parser.isSet(help)) {
    Print((parser.helpText() + ExitStatusHelp()).toUtf8());
    return Finish(kExitOk);
  }
  if (parser.isSet(version)) {
    Print("quilletctl " QUILLET_VERSION "\n");
    return Finish(kExitOk);
  }
  if (parser.isSet(listing)) {
    Print(CommandListing());
    return Finish(kExitOk);
  }
  return RunCommand(parser, raw);
}
