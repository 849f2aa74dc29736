// The trace log (off unless switched on to find a fault): what is written, where, how indented.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <tuple>

#include "common/TraceLog.h"
#include "platform/vb/ErrObject.h"
#include "support/DataRows.h"

using namespace quillet;
using namespace quillet::test;

class TraceLogTest : public QObject {
  Q_OBJECT

  QTemporaryDir state_;
  QDateTime now_;

  QString logPath(const QDate& day) const {
    return state_.filePath("quillet-test." + day.toString("yyyyMMdd") + ".log");
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
    now_ = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59));
    QDir(state_.path()).removeRecursively();
    QDir().mkpath(state_.path());
  }

  void thresholds_data() {
    Columns<int, int, bool>("threshold", "level", "written");
    // -1 as an entry's level is the default level, 5.
    for (auto [threshold, level, written] :
         {std::tuple{0, 1, false}, {-1, 1000, true}, {5, -1, true}, {4, -1, false}})
      QTest::addRow("threshold %d, level %d", threshold, level) << threshold << level << written;
  }
  void thresholds() {
    const auto [threshold, level, written] = Fetch<int, int, bool>("threshold", "level", "written");
    LogLevel = threshold;
    Err().Raise(5, QStringLiteral("the caller's"));
    LogMessageKind(QStringLiteral("entry"), level, 1);
    QCOMPARE(QDir(state_.path()).entryList(QDir::Files),
             written ? QStringList{QFileInfo(logPath(now_.date())).fileName()} : QStringList());
    // Only an entry that is written moves the depth, and clears the current error.
    QCOMPARE(LogIndent, written ? 1 : 0);
    QCOMPARE(Err().Number, written ? 0 : 5);
  }

  void lineFormatIndentAndOneFilePerDay() {
    LogLevel = -1;
    // Kind 1 raises the depth after its own line, 2 lowers it before (never below 0), 3 resets it.
    LogMessageKind("open", -1, 1);
    LogMessage("inside");
    WriteLogEntry("tagged", -1, 0, "EXTRA");
    for (const char* text : {"close", "below zero"}) LogMessageKind(text, -1, 2);
    for (const char* text : {"deeper", "deeper still"}) LogMessageKind(text, -1, 1);
    LogMessageKind("reset", -1, 3);
    now_ = now_.addSecs(2);
    LogMessage("after midnight");
    QCOMPARE(linesOf(QDate(2026, 12, 5)),
             QStringList({"23:59:59 open", "23:59:59     inside", "23:59:59 EXTRA     tagged",
                          "23:59:59 close", "23:59:59 below zero", "23:59:59 deeper",
                          "23:59:59     deeper still", "23:59:59 reset"}));
    QCOMPARE(linesOf(QDate(2026, 12, 6)), QStringList{"00:00:01 after midnight"});
  }
};

QTEST_GUILESS_MAIN(TraceLogTest)
#include "TraceLogTest.moc"
