#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <limits>

#include "common/Timing.h"
#include "support/RecordingUi.h"

using namespace quillet;

namespace {

// The real services, counting how the wait uses the event pump.
class CountingUi : public test::RecordingUi {
 public:
  void DoEvents() override {
    ++doEvents;
    RecordingUi::DoEvents();
  }
  void WaitForEvents(int maxMilliseconds) override {
    ++waits;
    longestWaitMs = std::max(longestWaitMs, maxMilliseconds);
    RecordingUi::WaitForEvents(maxMilliseconds);
  }
  int doEvents = 0;
  int waits = 0;
  int longestWaitMs = 0;
};

// A wall clock that runs with real time from `start`, shifted by whatever the test sets
// meanwhile (the clock being set back or forward).
struct MovableClock {
  QDateTime start;
  QElapsedTimer running;
  qint64 shiftMs = 0;
  QDateTime now() const { return start.addMSecs(running.elapsed() + shiftMs); }
};

double ElapsedSeconds(const QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e9; }

}  // namespace

class TimingTest : public QObject {
  Q_OBJECT

  MovableClock clock_;

  void useMovableClock(const QDateTime& start) {
    clock_.start = start;
    clock_.shiftMs = 0;
    clock_.running.start();
    SetTimeStampClock([this] { return clock_.now(); });
  }

 private slots:
  void cleanup() { SetTimeStampClock({}); }

  void stampHoldsDateSerialAndSecondsOfDay_data() {
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<int>("days");
    QTest::addColumn<float>("seconds");
    QTest::newRow("serial epoch") << QDateTime(QDate(1899, 12, 30), QTime(0, 0)) << 0 << 0.0f;
    QTest::newRow("day before epoch") << QDateTime(QDate(1899, 12, 29), QTime(6, 0)) << -1
                                      << 21600.0f;
    QTest::newRow("2000") << QDateTime(QDate(2000, 1, 1), QTime(12, 34, 56, 250)) << 36526
                          << 45296.25f;
    QTest::newRow("last millisecond") << QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59, 999))
                                      << 45351 << 86399.999f;
  }
  void stampHoldsDateSerialAndSecondsOfDay() {
    QFETCH(QDateTime, now);
    QFETCH(int, days);
    QFETCH(float, seconds);
    SetTimeStampClock([now] { return now; });
    const TimeStamp stamp = GetTimeStamp();
    QCOMPARE(stamp.Days, days);
    QCOMPARE(stamp.Seconds, seconds);
  }

  void secondsSinceAStampJustTakenIsSmall() {
    const TimeStamp stamp = GetTimeStamp();
    const double elapsed = SecondsSince(stamp);
    QVERIFY2(elapsed >= 0.0 && elapsed < 1.0, QByteArray::number(elapsed).constData());
  }

  // The day difference carries the seconds across midnight, month and year ends.
  void secondsSinceAcrossMidnight_data() {
    QTest::addColumn<QDateTime>("then");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<double>("seconds");
    QTest::newRow("midnight") << QDateTime(QDate(2026, 3, 9), QTime(23, 59, 59, 500))
                              << QDateTime(QDate(2026, 3, 10), QTime(0, 0, 0, 500)) << 1.0;
    QTest::newRow("leap day") << QDateTime(QDate(2024, 2, 28), QTime(23, 59, 59))
                              << QDateTime(QDate(2024, 2, 29), QTime(0, 0, 1)) << 2.0;
    QTest::newRow("year end") << QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58))
                              << QDateTime(QDate(2026, 1, 1), QTime(0, 0, 2)) << 4.0;
    QTest::newRow("two days") << QDateTime(QDate(2026, 3, 9), QTime(12, 0))
                              << QDateTime(QDate(2026, 3, 11), QTime(12, 0, 0, 250))
                              << 172800.25;
    // A clock set back past the stamp gives a negative result.
    QTest::newRow("set back") << QDateTime(QDate(2026, 3, 10), QTime(0, 0, 1))
                              << QDateTime(QDate(2026, 3, 9), QTime(23, 0)) << -3601.0;
  }
  void secondsSinceAcrossMidnight() {
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

  // Nothing to wait for: back at once, and not one pending event has run.
  void waitOfZeroOrLessDoesNotPump_data() {
    QTest::addColumn<double>("seconds");
    QTest::newRow("0") << 0.0;
    QTest::newRow("-0") << -0.0;
    QTest::newRow("-1") << -1.0;
    QTest::newRow("-infinity") << -std::numeric_limits<double>::infinity();
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN();
  }
  void waitOfZeroOrLessDoesNotPump() {
    QFETCH(double, seconds);
    CountingUi ui;
    bool ran = false;
    QTimer::singleShot(0, this, [&] { ran = true; });
    QElapsedTimer timer;
    timer.start();
    WaitSeconds(ui, seconds);
    QVERIFY(timer.elapsed() < 100);
    QVERIFY(!ran);
    QCOMPARE(ui.doEvents + ui.waits, 0);
    QTRY_VERIFY(ran);  // it was pending all along
  }

  void eventsAreProcessedDuringTheWait() {
    CountingUi ui;
    bool fired = false;
    double firedAt = -1;
    QElapsedTimer timer;
    timer.start();
    QTimer::singleShot(100, this, [&] {
      fired = true;
      firedAt = ElapsedSeconds(timer);
    });
    WaitSeconds(ui, 0.4);
    const double elapsed = ElapsedSeconds(timer);
    QVERIFY(fired);
    QVERIFY2(firedAt < 0.39, QByteArray::number(firedAt).constData());  // inside the wait
    QVERIFY2(elapsed >= 0.38 && elapsed < 2.0, QByteArray::number(elapsed).constData());
  }

  // It sleeps between looks at the clock: a busy pump would call thousands of times.
  void waitSleepsInTheEventLoop() {
    CountingUi ui;
    WaitSeconds(ui, 0.5);
    QCOMPARE(ui.doEvents, 0);
    QVERIFY2(ui.waits >= 1 && ui.waits <= 60, QByteArray::number(ui.waits).constData());
    QVERIFY(ui.longestWaitMs <= 100);  // short slices: the wall clock is looked at often
  }

  // The wall clock is set back an hour during the wait (or a daylight-saving change
  // happens): the wait still ends on time by the monotonic clock.
  void waitEndsOnTimeWhenTheClockIsSetBack() {
    useMovableClock(QDateTime::currentDateTime());
    CountingUi ui;
    QTimer::singleShot(50, this, [this] { clock_.shiftMs = -3600 * 1000; });
    bool rescued = false;
    QTimer::singleShot(5000, this, [&] {  // without the bound the wait would last an hour
      rescued = true;
      clock_.shiftMs = 0;
    });
    QElapsedTimer timer;
    timer.start();
    WaitSeconds(ui, 0.5);
    const double elapsed = ElapsedSeconds(timer);
    QVERIFY(!rescued);
    QVERIFY2(elapsed >= 0.49 && elapsed < 2.0, QByteArray::number(elapsed).constData());
  }

  // The wall clock still decides: set forward, it ends the wait early.
  void clockSetForwardEndsTheWaitEarly() {
    useMovableClock(QDateTime::currentDateTime());
    CountingUi ui;
    QTimer::singleShot(50, this, [this] { clock_.shiftMs = 3600 * 1000; });
    QElapsedTimer timer;
    timer.start();
    WaitSeconds(ui, 30.0);
    const double elapsed = ElapsedSeconds(timer);
    QVERIFY2(elapsed < 2.0, QByteArray::number(elapsed).constData());
  }

  void waitAcrossMidnightEndsOnTime() {
    useMovableClock(QDateTime(QDate(2026, 3, 9), QTime(23, 59, 59, 900)));
    CountingUi ui;
    QElapsedTimer timer;
    timer.start();
    WaitSeconds(ui, 0.5);
    const double elapsed = ElapsedSeconds(timer);
    QVERIFY2(elapsed >= 0.48 && elapsed < 2.0, QByteArray::number(elapsed).constData());
  }
};

QTEST_MAIN(TimingTest)
#include "TimingTest.moc"
