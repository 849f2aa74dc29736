// The general helpers on real files, a clock the tests move, and a recorded message box.

#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/ErrorReport.h"
#include "common/FileHelpers.h"
#include "common/Timing.h"
#include "platform/vb/ErrObject.h"
#include "support/DataRows.h"
#include "support/RecordingUi.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// Puts a row's kind at path: a sparse file of `size`, a link to one or not, a FIFO or folder.
bool Make(const QString& kind, const QString& path, qint64 size) {
  if (kind.isEmpty()) return true;
  QDir().mkpath(QFileInfo(path).path());
  if (kind == "file") {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
  }
  if (kind == "link")
    return Make("file", path + ".target", size) && QFile::link(path + ".target", path);
  if (kind == "dangling link") return QFile::link(path + ".gone", path);
  if (kind == "fifo") return ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
  return kind == "folder" && QDir().mkdir(path);
}

}  // namespace

class HelpersTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir_;
  QtUiServices ui_;

 private slots:
  void cleanup() {
    SetTimeStampClock({});
    Err().Clear();
  }

  void getFileLength_data() {
    // name: in the temporary folder; empty: the empty text; kind: what Make puts there first;
    // expected: also the size of a file made
    Columns<QString, QString, double>("name", "kind", "expected");
    // 3.5 GiB is beyond any 32-bit length; a FIFO without a writer would block an open; the
    // part before a NUL names a real file that must not be measured.
    for (const auto& [name, kind, expected] : {std::tuple{"missing.mdb", "", -1.0},
                                               {"", "", -1.0},
                                               {"empty.mdb", "file", 0.0},
                                               {"huge.mdb", "file", double(qint64(3584) << 20)},
                                               {"link.mdb", "link", 1234.0},
                                               {"dangling.mdb", "dangling link", -1.0},
                                               {"pipe.mdb", "fifo", -1.0},
                                               {"folder.mdb", "folder", -1.0}})
      QTest::addRow("%s %s", kind, name) << QString(name) << QString(kind) << expected;
    QTest::newRow("NUL inside") << QString("real.mdb") + QChar(u'\0') + "tail"
                                << "file" << -1.0;
  }
  void getFileLength() {
    const auto [name, kind, expected] = Fetch<QString, QString, double>("name", "kind", "expected");
    const QString path = name.isEmpty() ? QString() : dir_.filePath(name);
    QVERIFY(Make(kind, path.left(path.indexOf(QChar(u'\0'))), qint64(std::max(expected, 0.0))));
    Err().Raise(75, "left over from before");
    QCOMPARE(GetFileLength(path), expected);
    QCOMPARE(Err().Number, 0);  // it never fails, and leaves the current error clear
  }

  // Only the last name's last dot counts, and a separator (either kind) ends the search.
  void stripExtension() {
    for (const auto& [path, expected] : {std::pair{"D:\\Data\\Sales.mdb", "D:\\Data\\Sales"},
                                         {"D:\\Data.2024\\Sales", "D:\\Data.2024\\Sales"},
                                         {"Sales.", "Sales"},
                                         {".mdb", ""},
                                         {"/data.old/sales", "/data.old/sales"},
                                         {"", ""}})
      QCOMPARE(StripExtension(QString::fromUtf8(path)), QString::fromUtf8(expected));
  }

  // Across midnight, and a clock set back past the stamp (negative).
  void secondsSince() {
    const QDate day(2026, 3, 9);
    for (const auto& [then, now, seconds] :
         {std::tuple{QDateTime(day, QTime(23, 59, 59, 500)),
                     QDateTime(day.addDays(1), QTime(0, 0, 0, 500)), 1.0},
          {QDateTime(day.addDays(1), QTime(0, 0, 1)), QDateTime(day, QTime(23, 0)), -3601.0}}) {
      SetTimeStampClock([then] { return then; });
      const TimeStamp stamp = GetTimeStamp();
      SetTimeStampClock([now] { return now; });
      // Seconds are single precision: late in the day they step by 1/128 s.
      QVERIFY2(std::abs(SecondsSince(stamp) - seconds) < 0.01,
               QByteArray::number(SecondsSince(stamp), 'f', 4));
    }
  }

  // A wall clock set forward ends the wait early, set back the monotonic bound still ends it
  // on time; nothing to wait for (NaN too) returns before any event runs.
  void wait_data() {
    Columns<double, qint64, qint64>("seconds", "shiftMs", "atLeastMs");
    QTest::newRow("steady") << 0.4 << qint64{0} << qint64{390};
    QTest::newRow("set forward") << 30.0 << qint64{3600000} << qint64{0};
    QTest::newRow("set back") << 0.5 << qint64{-3600000} << qint64{490};
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << qint64{0} << qint64{0};
  }
  void wait() {
    const auto [seconds, shiftMs, atLeastMs] =
        Fetch<double, qint64, qint64>("seconds", "shiftMs", "atLeastMs");
    QElapsedTimer timer;
    timer.start();
    qint64 shift = 0;
    bool pumped = false;
    const QDateTime start = QDateTime::currentDateTime();
    SetTimeStampClock([&] { return start.addMSecs(timer.elapsed() + shift); });
    QObject scope;  // drops the timers below when the test returns
    QTimer::singleShot(0, &scope, [&] { pumped = true; });
    QTimer::singleShot(50, &scope, [&] { shift = shiftMs; });
    // Without the bound the wait would last an hour: undo the shift so it fails below.
    QTimer::singleShot(5000, &scope, [&] { shift = 0; });
    WaitSeconds(ui_, seconds);
    const qint64 elapsedMs = timer.elapsed();
    QCOMPARE(pumped, seconds > 0);
    QVERIFY2(elapsedMs >= atLeastMs, QByteArray::number(elapsedMs));
    QVERIFY2(elapsedMs < 2000, QByteArray::number(elapsedMs));
  }

  void reportError_data() {
    // currentNumber: the current error when the report is made
    Columns<QString, int, int, QString, QString>("task", "number", "currentNumber",
                                                 "currentDescription", "message");
    const QString task = "opening the database (ADO)", problem = "There was a problem " + task;
    const QString framing = " and the error's description was reported as : \n\n\"";
    // Only spaces are trimmed: the tab stays.
    QTest::newRow("standard text, trimmed task")
        << "   " + task + " \t  " << 76 << 0 << QString()
        << problem + " \t" + framing + "Path not found\" (76)";
    QTest::newRow("standard text wins over the current error")
        << task << 53 << 53 << "Could not find 'x'." << problem + framing + "File not found\" (53)";
    QTest::newRow("number 0 is one line")
        << "  " + task + "  " << 0 << 3024 << "Not found." << problem;
    QTest::newRow("no standard text, matching current error, untrimmed")
        << task << 3045 << 3045 << "  Could not use 'a b'.  "
        << problem + framing + "  Could not use 'a b'.  \" (3045)";
    QTest::newRow("no standard text, another current error")
        << task << 3045 << 3024 << "Not found." << problem + framing + "\" (3045)";
  }
  void reportError() {
    const auto [task, number, currentNumber, currentDescription, message] =
        Fetch<QString, int, int, QString, QString>("task", "number", "currentNumber",
                                                   "currentDescription", "message");
    test::RecordingUi ui;
    if (currentNumber != 0) Err().Raise(currentNumber, currentDescription);
    ui.SetScreenMousePointer(vbHourglass);
    ui.SetScreenMousePointer(vbHourglass);  // assigned, not stacked: one default undoes it
    int pointerDuring = -1;
    ui.onMessage = [&](const auto&) {
      pointerDuring = ui.ScreenMousePointer();
      Err().Raise(5, "changed meanwhile");  // a handler running while the box is up
    };
    ReportError(ui, task, number);
    QCOMPARE(ui.messages.size(), 1);
    QCOMPARE(ui.messages[0].text, message);
    QCOMPARE(ui.messages[0].icon, vbExclamation);
    QCOMPARE(pointerDuring, vbDefault);
    QCOMPARE(ui.ScreenMousePointer(), vbHourglass);  // and the caller still reads its own error
    QCOMPARE(Err().Number, currentNumber);
    QCOMPARE(Err().Description, currentDescription);
    ui.SetScreenMousePointer(vbDefault);
    QVERIFY(!QGuiApplication::overrideCursor());
  }
};

QTEST_MAIN(HelpersTest)
#include "HelpersTest.moc"
