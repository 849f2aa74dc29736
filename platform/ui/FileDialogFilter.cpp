#include "platform/ui/FileDialogFilter.h"

namespace quillet {
namespace {

// The characters QFileDialog accepts inside the parentheses of a name filter; with any
// other one it would take the whole entry for a single pattern that matches nothing.
bool QtFilterCanCarry(QChar c) {
  static const QString punctuation = QStringLiteral("_.,*?+#-[]@{}/!<>$%&=^~:");
  return (c.unicode() < 128 && c.isLetterOrNumber()) || punctuation.contains(c);
}

}  // namespace

QString CaseInsensitivePattern(const QString& windowsPattern) {
  QString pattern;
  for (const QChar c : windowsPattern) {
    if (c == u'[') {
      pattern += QStringLiteral("[[]");
    } else if (c == u']') {
      pattern += QStringLiteral("[]]");
    } else if (c.unicode() < 128 && c.isLetter()) {
      pattern += u'[' + c.toLower() + c.toUpper() + u']';
    } else if (QtFilterCanCarry(c)) {
      pattern += c;
    } else {
      pattern += u'?';
    }
  }
  return pattern;
}

QStringList NameFiltersFromVbFilter(const QString& vbFilter) {
  QStringList filters;
  const QStringList parts = vbFilter.split(u'|');
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const QString& windowsPattern : parts.at(i + 1).split(u';', Qt::SkipEmptyParts)) {
      const QString trimmed = windowsPattern.trimmed();
      if (!trimmed.isEmpty()) patterns.append(CaseInsensitivePattern(trimmed));
    }
    if (patterns.isEmpty()) continue;
    const QString description = parts.at(i).trimmed().isEmpty() ? parts.at(i + 1) : parts.at(i);
    filters.append(description + QStringLiteral(" (") + patterns.join(u' ') + u')');
  }
  return filters;
}

}  // namespace quillet
