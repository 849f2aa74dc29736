// --help and the command listing, made from the command table.

#include <algorithm>
#include <utility>
#include <vector>

#include "tools/CommandTable.h"

namespace quilletctl {
namespace {

constexpr qsizetype kLineWidth = 79;
constexpr qsizetype kParagraphColumn = 25;  // where Qt's option list starts its descriptions

QStringList Wrapped(const QString& text, qsizetype width) {
  QStringList lines;
  QString line;
  for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
    if (!line.isEmpty() && line.size() + 1 + word.size() > width) lines << std::exchange(line, {});
    line += (line.isEmpty() ? "" : " ") + word;
  }
  if (!line.isEmpty()) lines << line;
  return lines;
}

// A synopsis, and its paragraph beside it, or under it where the synopsis is too long.
QStringList Entry(const QString& synopsis, const QString& paragraph) {
  QStringList lines;
  QString head = "  " + synopsis;
  if (head.size() + 2 > kParagraphColumn) lines << std::exchange(head, {});
  for (const QString& line : Wrapped(paragraph, kLineWidth - kParagraphColumn))
    lines << std::exchange(head, {}).leftJustified(kParagraphColumn) + line;
  return lines;
}

const char* ListingWord(Takes takes) {  // the shells' completions' words
  switch (takes) {
    case Takes::kJetDatabase: return "file";
    case Takes::kDatabase: return "access";
    case Takes::kFolders: return "dirs";
    case Takes::kPaths: break;
  }
  return "any";
}

const char* Described(Takes takes) {
  switch (takes) {
    case Takes::kJetDatabase: return "a Jet database (.mdb, .mde)";
    case Takes::kDatabase: return "a Jet or Access database (.mdb, .mde, .accdb, .accde)";
    case Takes::kFolders: return "one or more folders";
    case Takes::kPaths: break;
  }
  return "any paths, or none";
}

}  // namespace

QString CommandsHelp() {
  QStringList lines{QString(), "Commands:"};
  for (const Command& command : Commands()) {
    const QStringList synopses = command.synopses();
    for (qsizetype i = 0; i < synopses.size(); ++i)
      lines << Entry(synopses[i], command.usages[size_t(i)].help);
  }
  return lines.join('\n');
}

QString CommandNames() {
  QStringList names;
  for (const Command& command : Commands()) names << command.name;
  const QString last = names.takeLast();
  return names.isEmpty() ? last : names.join(", ") + " or " + last;
}

QString ArgumentsSyntax() {
  QStringList placeholders;
  for (const Command& command : Commands()) {
    const QString placeholder = QString(PathsPlaceholder(command.takes)).remove('[').remove(']');
    if (!placeholders.contains(placeholder)) placeholders << placeholder;
  }
  return placeholders.join('|');
}

// "check, hold: a Jet database (.mdb, .mde); users: ...", in the commands' order.
QString ArgumentsHelp() {
  std::vector<std::pair<Takes, QStringList>> takers;
  for (const Command& command : Commands()) {
    auto kind = std::find_if(takers.begin(), takers.end(),
                             [&](const auto& taker) { return taker.first == command.takes; });
    if (kind == takers.end()) kind = takers.insert(takers.end(), {command.takes, {}});
    kind->second << command.name;
  }
  QStringList parts;
  for (const auto& [takes, names] : takers) parts << names.join(", ") + ": " + Described(takes);
  return parts.join("; ") + '.';
}

QString OptionHelp(const Option& option) {
  QStringList takers;
  for (const Command& command : Commands()) {
    if (command.options().contains(option.name)) takers << command.name;
  }
  return takers.join(", ") + ": " + option.help;
}

QString ExitStatusHelp() {
  return "\n"
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
}

QByteArray CommandListing() {
  QByteArray listing;
  for (const Command& command : Commands()) {
    listing += QByteArray(command.name) + ' ' + ListingWord(command.takes);
    for (const QString& option : command.options()) listing += " --" + option.toLatin1();
    listing += '\n';
  }
  return listing;
}

}  // namespace quilletctl
