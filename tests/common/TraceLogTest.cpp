#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "common/TraceLog.h"
#include "platform/ErrObject.h"

using namespace quillet;

namespace {

const QDateTime kMorning(QDate(2026, 12, 5), QTime(14, 3, 27));

}  // namespace

class TraceLogTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir state_;
  QDateTime now_ = kMorning;

  QString logPath(const QDate& day, const QString& base = QStringLiteral("quillet-test")) const {
    return QDir(state_.path()).filePath(base + '.' + day.toString("yyyyMMdd") + ".log");
  }
  QStringList linesOf(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QString text = QString::fromUtf8(file.readAll());
    QStringList lines = text.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
  }

 private slots:
  void initTestCase() {
    QVERIFY(state_.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(state_.path()));
    SetLogClock([this] { return now_; });
  }
  void init() {
    LogLevel = 0;
    LogName = QStringLiteral("quillet-test");
    LogIndent = 0;
    now_ = kMorning;
    for (const QString& name : QDir(state_.path()).entryList(QDir::Files)) {
      QFile::remove(QDir(state_.path()).filePath(name));
    }
  }

  void offWritesNothingAndKeepsIndent() {
    Err().Raise(5, QStringLiteral("left by the caller"));
    LogMessageKind(QStringLiteral("one"), -1, 1);
    LogMessageKind(QStringLiteral("two"), 1, 1);
    WriteLogEntry(QStringLiteral("three"), -1, 2, QStringLiteral("x"));
    QCOMPARE(LogIndent, 0);
    QVERIFY(QDir(state_.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    // An entry that does not pass leaves the caller's error alone.
    QCOMPARE(Err().Number, 5);
    Err().Clear();
  }

  void thresholds_data() {
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("written");
    QTest::newRow("every entry, default level") << -1 << -1 << true;
    QTest::newRow("every entry, high level") << -1 << 1000 << true;
    QTest::newRow("5 takes the default level") << 5 << -1 << true;
    QTest::newRow("4 drops the default level") << 4 << -1 << false;
    QTest::newRow("3 takes level 3") << 3 << 3 << true;
    QTest::newRow("3 drops level 4") << 3 << 4 << false;
  }
  void thresholds() {
    QFETCH(int, threshold);
    QFETCH(int, level);
    QFETCH(bool, written);
    LogLevel = threshold;
    LogMessage(QStringLiteral("entry"), level);
    QCOMPARE(QFile::exists(logPath(now_.date())), written);
  }

  void lineFormatAndIndent() {
    LogLevel = -1;
    LogMessageKind(QStringLiteral("open"), -1, 1);
    LogMessage(QStringLiteral("inside"));
    WriteLogEntry(QStringLiteral("tagged"), -1, 0, QStringLiteral("EXTRA"));
    LogMessageKind(QStringLiteral("close"), -1, 2);
    LogMessageKind(QStringLiteral("below zero"), -1, 2);
    LogMessageKind(QStringLiteral("deeper"), -1, 1);
    LogMessageKind(QStringLiteral("deeper still"), -1, 1);
    LogMessageKind(QStringLiteral("reset"), -1, 3);
    const QStringList expected = {
        "14:03:27 open",            // kind 1 raises the depth only after its own line
        "14:03:27     inside",
        "14:03:27 EXTRA     tagged",
        "14:03:27 close",           // kind 2 lowers it before composing
        "14:03:27 below zero",      // never below 0
        "14:03:27 deeper",
        "14:03:27     deeper still",
        "14:03:27 reset",
    };
    QCOMPARE(linesOf(logPath(now_.date())), expected);
    QCOMPARE(LogIndent, 0);
  }

  void oneFilePerDay() {
    LogLevel = -1;
    now_ = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59));
    LogMessage(QStringLiteral("before midnight"));
    now_ = QDateTime(QDate(2026, 12, 6), QTime(0, 0, 1));
    LogMessage(QStringLiteral("after midnight"));
    QCOMPARE(linesOf(logPath(QDate(2026, 12, 5))), QStringList{"23:59:59 before midnight"});
    QCOMPARE(linesOf(logPath(QDate(2026, 12, 6))), QStringList{"00:00:01 after midnight"});
  }

  void appendsAndClearsTheError() {
    LogLevel = -1;
    LogMessage(QStringLiteral("first"));
    Err().Raise(53, QStringLiteral("File not found"));
    LogMessage(QStringLiteral("second"));
    QCOMPARE(Err().Number, 0);
    QCOMPARE(linesOf(logPath(now_.date())).size(), 2);
  }

  void executableNameWhenNoneIsSet() {
    LogLevel = -1;
    LogName.clear();
    LogMessage(QStringLiteral("named after the program"));
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QCOMPARE(linesOf(logPath(now_.date(), exe)).size(), 1);
  }

  void unwritableFolderLosesTheEntryQuietly() {
    LogLevel = -1;
    const QString blocker = QDir(state_.path()).filePath(QStringLiteral("not-a-folder"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_STATE_HOME", QFile::encodeName(blocker + "/sub"));
    LogMessage(QStringLiteral("lost"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(state_.path()));
    QCOMPARE(Err().Number, 0);
    QVERIFY(!QFile::exists(blocker + "/sub"));
  }
};

QTEST_GUILESS_MAIN(TraceLogTest)
#include "TraceLogTest.moc"
