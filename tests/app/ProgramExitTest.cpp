// Closing the window while a change waits ends the program: the application's event loop
// returns, the change ends without a word, and the file is let go.

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>

#include "WindowHarness.h"
#include "support/Fixtures.h"

namespace quillet::test {

class ProgramExitTest : public QObject {
  Q_OBJECT

 private slots:
  void closingDuringTheWaitEndsTheProgram() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    h.remember(database);
    h.start();
    QVERIFY(h.window().currentDatabase());

    bool changeReturned = false;
    QTimer::singleShot(0, [&] {
      QTest::mouseClick(h.change(), Qt::LeftButton);
      changeReturned = true;
    });
    QTimer::singleShot(500, [&] { h.window().close(); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });  // the loop never ended

    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(changeReturned);
    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(!h.window().currentDatabase());
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Sales.ldb"))));
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::ProgramExitTest)
#include "ProgramExitTest.moc"
