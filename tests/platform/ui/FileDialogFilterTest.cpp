#include <QRegularExpression>
#include <QTest>

#include "platform/ui/FileDialogFilter.h"

using namespace quillet;

namespace {

// Whether Qt's wildcard matching, as the file dialog's model applies it, takes the name.
bool Matches(const QString& qtPattern, const QString& name) {
  const QRegularExpression re = QRegularExpression::fromWildcard(
      qtPattern, Qt::CaseSensitive, QRegularExpression::DefaultWildcardConversion);
  return re.match(name).hasMatch();
}

}  // namespace

class FileDialogFilterTest : public QObject {
  Q_OBJECT

 private slots:
  void databaseFilterBecomesOneCaseInsensitiveEntry() {
    QCOMPARE(NameFiltersFromVbFilter(QStringLiteral("Database Files (*.MDB)|*.MDB")),
             QStringList{QStringLiteral("Database Files (*.MDB) (*.[mM][dD][bB])")});
  }

  // Even where the matching itself is case-sensitive, the converted pattern takes every
  // spelling Windows would, and nothing more.
  void patternsMatchLikeWindows_data() {
    QTest::addColumn<QString>("windowsPattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("matches");
    const auto row = [](const char* tag, const char* pattern, const char* name, bool matches) {
      QTest::newRow(tag) << QString::fromUtf8(pattern) << QString::fromUtf8(name) << matches;
    };
    row("lower", "*.MDB", "sales.mdb", true);
    row("mixed", "*.MDB", "Sales.Mdb", true);
    row("upper", "*.MDB", "SALES.MDB", true);
    row("other extension", "*.MDB", "sales.txt", false);
    row("longer extension", "*.MDB", "sales.mdbx", false);
    row("extension inside name", "*.MDB", "sales.mdb.bak", false);
    row("question mark", "DATA?.mdb", "data7.MDB", true);
    row("question mark needs one", "DATA?.mdb", "data.mdb", false);
    row("bracket literal", "[x].mdb", "[X].mdb", true);
    row("bracket is not a set", "[x].mdb", "x.mdb", false);
    row("space matches itself", "my db.mdb", "My DB.mdb", true);
    row("digits unchanged", "*.db2", "a.DB2", true);
  }
  void patternsMatchLikeWindows() {
    QFETCH(QString, windowsPattern);
    QFETCH(QString, name);
    QFETCH(bool, matches);
    QCOMPARE(Matches(CaseInsensitivePattern(windowsPattern), name), matches);
  }

  // Qt splits a filter's patterns at spaces and refuses characters outside a small set;
  // the converted patterns must survive both.
  void patternsUseOnlyWhatQtFiltersCarry() {
    const QString pattern = CaseInsensitivePattern(QStringLiteral("caf\u00e9 (1).mdb"));
    QVERIFY2(!pattern.contains(u' '), qPrintable(pattern));
    QVERIFY2(!pattern.contains(u'('), qPrintable(pattern));
    static const QRegularExpression carried(
        QStringLiteral("^[a-zA-Z0-9_.,*? +;#\\-\\[\\]@{}/!<>$%&=^~:|]*$"));
    QVERIFY2(carried.match(pattern).hasMatch(), qPrintable(pattern));
    QVERIFY(Matches(pattern, QStringLiteral("CAF\u00c9 (1).MDB")));
  }

  void severalEntriesAndPatterns() {
    QCOMPARE(NameFiltersFromVbFilter(QStringLiteral("Databases|*.mdb; *.mde|All Files (*.*)|*.*")),
             (QStringList{QStringLiteral("Databases (*.[mM][dD][bB] *.[mM][dD][eE])"),
                          QStringLiteral("All Files (*.*) (*.*)")}));
  }

  void malformedFiltersLoseOnlyTheBrokenEntries() {
    QCOMPARE(NameFiltersFromVbFilter(QString()), QStringList{});
    QCOMPARE(NameFiltersFromVbFilter(QStringLiteral("Just a description")), QStringList{});
    QCOMPARE(NameFiltersFromVbFilter(QStringLiteral("Empty|")), QStringList{});
    QCOMPARE(NameFiltersFromVbFilter(QStringLiteral("Empty|;;|Text|*.txt|Dangling")),
             QStringList{QStringLiteral("Text (*.[tT][xX][tT])")});
    // Without a description the pattern names the entry.
    QCOMPARE(NameFiltersFromVbFilter(QStringLiteral("|*.mdb")),
             QStringList{QStringLiteral("*.mdb (*.[mM][dD][bB])")});
  }
};

QTEST_APPLESS_MAIN(FileDialogFilterTest)
#include "FileDialogFilterTest.moc"
