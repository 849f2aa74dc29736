#pragma once

// quilletctl's commands, each described once: its name, what it takes, its synopses (which
// name its options), its paragraphs of --help, and what runs it. The checks of the arguments,
// --help and the listing that the packaging's checks hold the manual page and the shells'
// completions against are all made from this table.

#include <QByteArray>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

namespace quilletctl {

// What a command's paths may be.
enum class Takes {
  kJetDatabase,  // one FILE, a Jet database
  kDatabase,     // one FILE, a Jet or an Access database
  kFolders,      // one DIR or more
  kPaths,        // any PATHs, or none
};
// How synopses show them: "FILE", "DIR...", "[PATH...]".
const char* PathsPlaceholder(Takes takes);

// A command line as parsed: its options, and the paths' bytes as given (names need not be
// UTF-8).
struct Invocation {
  const QCommandLineParser& parser;
  QList<QByteArray> paths;

  bool isSet(const char* option) const { return parser.isSet(QString::fromLatin1(option)); }
  QString value(const char* option) const { return parser.value(QString::fromLatin1(option)); }
};

struct Command {
  // One way to call it: the options after its paths ("[--json]"), and what it does so.
  struct Usage {
    const char* options;
    const char* help;
  };

  const char* name;
  Takes takes;
  std::vector<Usage> usages;
  int (*run)(const Invocation& invocation);

  // The options its usages name, without their dashes: the only ones it accepts.
  QStringList options() const;
  // "scan DIR... [--json]" for each usage.
  QStringList synopses() const;
};

// Every command, in the order --help lists them. A command missing here is unknown.
const std::vector<Command>& Commands();
const Command* FindCommand(const QString& name);

// The commands' options: name, the name of its value (null for a flag), and what it does;
// --help adds which commands take it.
struct Option {
  const char* name;
  const char* valueName;
  const char* help;
};
const std::vector<Option>& Options();

// Help and listings made from the table (Help.cpp).
QString CommandsHelp();                    // the "Commands:" section of --help
QString CommandNames();                    // "check, users, hold, scan or doctor"
QString ArgumentsSyntax();                 // "FILE|DIR...|PATH..."
QString ArgumentsHelp();                   // which commands take which paths
QString OptionHelp(const Option& option);  // prefixed with the commands that take it
QString ExitStatusHelp();
// One line per command for scripts: its name, what it takes in the words of the shells'
// completions (file, access, dirs, any), then its options.
QByteArray CommandListing();

}  // namespace quilletctl
