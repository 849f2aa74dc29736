#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <limits>

#include "common/Timing.h"
#include "platform/ui/QtUiServices.h"

using namespace quillet;

class TimingTest : public QObject {
  Q_OBJECT

  QtUiServices ui_;

 private slots:
  void cleanup() { SetTimeStampClock({}); }

  void secondsSinceAStampJustTakenIsSmall() {
    const double elapsed = SecondsSince(GetTimeStamp());
    QVERIFY2(elapsed >= 0.0 && elapsed < 1.0, QByteArray::number(elapsed).constData());
  }

  // The day difference carries the seconds across midnight and year ends; a clock set back
  // past the stamp gives a negative result.
  void secondsSince_data() {
    QTest::addColumn<QDateTime>("then");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<double>("seconds");
    const QDate day(2026, 3, 9);
    QTest::newRow("midnight") << QDateTime(day, QTime(23, 59, 59, 500))
                              << QDateTime(day.addDays(1), QTime(0, 0, 0, 500)) << 1.0;
    QTest::newRow("year end") << QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58))
                              << QDateTime(QDate(2026, 1, 1), QTime(0, 0, 2)) << 4.0;
    QTest::newRow("set back") << QDateTime(day.addDays(1), QTime(0, 0, 1))
                              << QDateTime(day, QTime(23, 0)) << -3601.0;
  }
  void secondsSince() {
    QFETCH(QDateTime, then);
    QFETCH(QDateTime, now);
    QFETCH(double, seconds);
    SetTimeStampClock([then] { return then; });
    const TimeStamp stamp = GetTimeStamp();
    SetTimeStampClock([now] { return now; });
    // Seconds are single precision: late in the day they step by 1/128 s.
    QVERIFY2(std::abs(SecondsSince(stamp) - seconds) < 0.01,
             QByteArray::number(SecondsSince(stamp), 'f', 4).constData());
  }

  // Nothing to wait for: back at once, before a single pending event has run.
  void waitOfZeroOrLessDoesNotPump_data() {
    QTest::addColumn<double>("seconds");
    QTest::newRow("0") << 0.0;
    QTest::newRow("-1") << -1.0;
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN();
  }
  void waitOfZeroOrLessDoesNotPump() {
    QFETCH(double, seconds);
    bool ran = false;
    QTimer::singleShot(0, this, [&] { ran = true; });
    QElapsedTimer timer;
    timer.start();
    WaitSeconds(ui_, seconds);
    QVERIFY(timer.elapsed() < 100);
    QVERIFY(!ran);
    QTRY_VERIFY(ran);  // it was pending all along
  }

  void eventsAreProcessedDuringTheWait() {
    QElapsedTimer timer;
    timer.start();
    qint64 firedAtMs = -1;
    QTimer::singleShot(100, this, [&] { firedAtMs = timer.elapsed(); });
    WaitSeconds(ui_, 0.4);
    const qint64 elapsedMs = timer.elapsed();
    QVERIFY2(firedAtMs >= 0 && firedAtMs < 390, QByteArray::number(firedAtMs).constData());
    QVERIFY2(elapsedMs >= 390 && elapsedMs < 2000, QByteArray::number(elapsedMs).constData());
  }

  // The wall clock is moved 50 ms into the wait. Set forward an hour, it ends the wait early;
  // set back an hour (or by a daylight-saving change), the monotonic bound still ends the
  // wait on time.
  void waitWhenTheWallClockMoves_data() {
    QTest::addColumn<qint64>("shiftMs");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<qint64>("atLeastMs");
    QTest::newRow("set forward") << qint64{3600000} << 30.0 << qint64{0};
    QTest::newRow("set back") << qint64{-3600000} << 0.5 << qint64{490};
  }
  void waitWhenTheWallClockMoves() {
    QFETCH(qint64, shiftMs);
    QFETCH(double, seconds);
    QFETCH(qint64, atLeastMs);
    QElapsedTimer timer;
    timer.start();
    qint64 shift = 0;
    const QDateTime start = QDateTime::currentDateTime();
    SetTimeStampClock([&] { return start.addMSecs(timer.elapsed() + shift); });
    QObject scope;  // drops the timers below when the test returns
    QTimer::singleShot(50, &scope, [&] { shift = shiftMs; });
    // Without the bound the wait would last an hour: undo the shift so that it fails below.
    QTimer::singleShot(5000, &scope, [&] { shift = 0; });
    WaitSeconds(ui_, seconds);
    const qint64 elapsedMs = timer.elapsed();
    QVERIFY2(elapsedMs >= atLeastMs && elapsedMs < 2000,
             QByteArray::number(elapsedMs).constData());
  }
};

QTEST_MAIN(TimingTest)
#include "TimingTest.moc"
