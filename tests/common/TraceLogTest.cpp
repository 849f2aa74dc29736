#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "common/TraceLog.h"
#include "platform/ErrObject.h"

using namespace quillet;

class TraceLogTest : public QObject {
  Q_OBJECT

  QTemporaryDir state_;
  QDateTime now_;

  QString logPath(const QDate& day, const QString& base = QStringLiteral("quillet-test")) const {
    return QDir(state_.path()).filePath(base + '.' + day.toString("yyyyMMdd") + ".log");
  }
  QStringList linesOf(const QDate& day) const {
    QFile file(logPath(day));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    lines.removeLast();  // every line ends in CR LF
    return lines;
  }

 private slots:
  void initTestCase() {
    qputenv("XDG_STATE_HOME", QFile::encodeName(state_.path()));
    SetLogClock([this] { return now_; });
  }
  void init() {
    LogLevel = 0;
    LogName = QStringLiteral("quillet-test");
    LogIndent = 0;
    now_ = QDateTime(QDate(2026, 12, 5), QTime(14, 3, 27));
    QDir(state_.path()).removeRecursively();
    QDir().mkpath(state_.path());
  }

  void thresholds_data() {
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("written");
    QTest::newRow("off") << 0 << 1 << false;
    QTest::newRow("every entry") << -1 << 1000 << true;
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
    Err().Raise(5, QStringLiteral("the caller's"));
    LogMessageKind(QStringLiteral("entry"), level, 1);
    QCOMPARE(QFile::exists(logPath(now_.date())), written);
    // Only an entry that is written moves the depth, and clears the current error.
    QCOMPARE(LogIndent, written ? 1 : 0);
    QCOMPARE(Err().Number, written ? 0 : 5);
    QCOMPARE(QDir(state_.path()).isEmpty(), !written);
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
        "14:03:27 open",  // kind 1 raises the depth only after its own line
        "14:03:27     inside",        "14:03:27 EXTRA     tagged",
        "14:03:27 close",  // kind 2 lowers it before composing, never below 0
        "14:03:27 below zero",        "14:03:27 deeper",
        "14:03:27     deeper still",  "14:03:27 reset",
    };
    QCOMPARE(linesOf(now_.date()), expected);
  }

  void oneFilePerDay() {
    LogLevel = -1;
    now_ = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59));
    LogMessage(QStringLiteral("before midnight"));
    now_ = QDateTime(QDate(2026, 12, 6), QTime(0, 0, 1));
    LogMessage(QStringLiteral("after midnight"));
    QCOMPARE(linesOf(QDate(2026, 12, 5)), QStringList{"23:59:59 before midnight"});
    QCOMPARE(linesOf(QDate(2026, 12, 6)), QStringList{"00:00:01 after midnight"});
  }

  void namedAfterTheProgramByDefault() {
    LogLevel = -1;
    LogName.clear();
    LogMessage(QStringLiteral("entry"));
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QVERIFY(QFile::exists(logPath(now_.date(), exe)));
  }

  // A folder that cannot be made loses the entry without troubling the caller.
  void unwritableFolder() {
    LogLevel = -1;
    const QString blocker = QDir(state_.path()).filePath(QStringLiteral("a-file"));
    QFile(blocker).open(QIODevice::WriteOnly);
    qputenv("XDG_STATE_HOME", QFile::encodeName(blocker + "/sub"));
    LogMessage(QStringLiteral("lost"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(state_.path()));
    QCOMPARE(Err().Number, 0);
    QVERIFY(!QFile::exists(blocker + "/sub"));
  }
};

QTEST_GUILESS_MAIN(TraceLogTest)
#include "TraceLogTest.moc"
