#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "platform/ui/QtUiServices.h"

using namespace quillet;

namespace {

// Runs what is already queued, so that a wait measures only what the test arranges.
void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

int OverrideDepth() {
  int depth = 0;
  while (QGuiApplication::overrideCursor() != nullptr) {
    QGuiApplication::restoreOverrideCursor();
    ++depth;
  }
  return depth;
}

}  // namespace

class UiServicesTest : public QObject {
  Q_OBJECT

  QtUiServices ui_;

 private slots:
  void cleanup() {
    ui_.SetScreenMousePointer(vbDefault);
    while (QGuiApplication::overrideCursor() != nullptr) QGuiApplication::restoreOverrideCursor();
  }

  void windowPointerRoundTrips() {
    QWidget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(ui_.MousePointer(window), vbDefault);

    ui_.SetMousePointer(window, vbHourglass);
    QCOMPARE(ui_.MousePointer(window), vbHourglass);
    QCOMPARE(window.cursor().shape(), Qt::WaitCursor);

    ui_.SetMousePointer(window, vbHourglass);
    ui_.SetMousePointer(window, vbDefault);
    QCOMPARE(ui_.MousePointer(window), vbDefault);
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);

    // A child widget goes back to following its parent.
    QWidget child(&window);
    ui_.SetMousePointer(child, vbHourglass);
    QCOMPARE(ui_.MousePointer(child), vbHourglass);
    ui_.SetMousePointer(child, vbDefault);
    QVERIFY(!child.testAttribute(Qt::WA_SetCursor));
    QCOMPARE(ui_.MousePointer(child), vbDefault);
  }

  // A pointer set by someone else that is not the hourglass reads as the default one.
  void windowPointerReadsOtherShapesAsDefault() {
    QWidget window;
    window.setCursor(Qt::CrossCursor);
    QCOMPARE(ui_.MousePointer(window), vbDefault);
    window.setCursor(Qt::WaitCursor);
    QCOMPARE(ui_.MousePointer(window), vbHourglass);
  }

  void screenPointerRoundTrips() {
    QCOMPARE(ui_.ScreenMousePointer(), vbDefault);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);

    ui_.SetScreenMousePointer(vbHourglass);
    QCOMPARE(ui_.ScreenMousePointer(), vbHourglass);
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);

    ui_.SetScreenMousePointer(vbDefault);
    QCOMPARE(ui_.ScreenMousePointer(), vbDefault);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
  }

  // Setting is assignment: however often the hourglass is set, one default ends it.
  void screenPointerSettingsDoNotStack() {
    for (int i = 0; i < 3; ++i) ui_.SetScreenMousePointer(vbHourglass);
    QCOMPARE(ui_.ScreenMousePointer(), vbHourglass);
    QtUiServices another;  // the override stack is the application's, not one object's
    another.SetScreenMousePointer(vbDefault);
    QCOMPARE(OverrideDepth(), 0);
  }

  void screenPointerLeavesOthersOverridesAlone() {
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);
    QCOMPARE(ui_.ScreenMousePointer(), vbDefault);
    ui_.SetScreenMousePointer(vbHourglass);
    QCOMPARE(ui_.ScreenMousePointer(), vbHourglass);
    ui_.SetScreenMousePointer(vbDefault);
    QVERIFY(QGuiApplication::overrideCursor() != nullptr);
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
    QCOMPARE(OverrideDepth(), 1);
  }

  void doEventsRunsWhatIsPending() {
    Settle();
    bool ran = false;
    QTimer::singleShot(0, this, [&] { ran = true; });
    QVERIFY(!ran);
    ui_.DoEvents();
    QVERIFY(ran);
  }

  void waitForEventsReturnsWhenAnEventArrives() {
    Settle();
    bool fired = false;
    QTimer::singleShot(50, this, [&] { fired = true; });
    QElapsedTimer clock;
    clock.start();
    ui_.WaitForEvents(10000);
    while (!fired && clock.elapsed() < 10000) ui_.WaitForEvents(10000);  // other events first
    QVERIFY(fired);
    QVERIFY2(clock.elapsed() < 5000, QByteArray::number(clock.elapsed()).constData());
  }

  // With nothing to do it sleeps until the time is up, rather than returning at once.
  void waitForEventsSleepsUntilTheTimeWhenIdle() {
    Settle();
    QElapsedTimer clock;
    clock.start();
    int calls = 0;
    while (clock.elapsed() < 300) {
      ui_.WaitForEvents(100);
      ++calls;
    }
    // A pump that does not wait would make thousands of calls in 300 ms.
    QVERIFY2(calls <= 10, QByteArray::number(calls).constData());
    QVERIFY2(clock.elapsed() < 3000, QByteArray::number(clock.elapsed()).constData());
  }

  void waitForEventsWithoutTimeOnlyPumps() {
    Settle();
    bool ran = false;
    QTimer::singleShot(0, this, [&] { ran = true; });
    QElapsedTimer clock;
    clock.start();
    ui_.WaitForEvents(0);
    QVERIFY(ran);
    QVERIFY(clock.elapsed() < 1000);
  }
};

QTEST_MAIN(UiServicesTest)
#include "UiServicesTest.moc"
