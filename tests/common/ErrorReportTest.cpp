#include <QTest>

#include "common/ErrorReport.h"
#include "platform/ErrObject.h"
#include "support/RecordingUi.h"

using namespace quillet;

class ErrorReportTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    QtUiServices().SetScreenMousePointer(vbDefault);
    Err().Clear();
  }

  void report_data() {
    QTest::addColumn<QString>("task");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("currentNumber");  // the current error when the report is made
    QTest::addColumn<QString>("currentDescription");
    QTest::addColumn<int>("pointer");  // the screen pointer before the report
    QTest::addColumn<QString>("message");
    const QString task = QStringLiteral("opening the database (ADO)");
    const QString problem = QStringLiteral("There was a problem ") + task;
    const QString framing = QStringLiteral(" and the error's description was reported as : \n\n\"");

    // Only spaces are trimmed: the tab stays.
    QTest::newRow("standard text, trimmed task")
        << "   " + task + " \t  " << 76 << 0 << QString() << vbHourglass
        << problem + " \t" + framing + "Path not found\" (76)";
    QTest::newRow("standard text wins over the current error")
        << task << 53 << 53 << "Could not find file 'x'." << vbDefault
        << problem + framing + "File not found\" (53)";
    QTest::newRow("number 0 is one line")
        << "  " + task + "  " << 0 << 3024 << "Could not find file." << vbHourglass << problem;
    QTest::newRow("no standard text, matching current error, untrimmed")
        << task << 3045 << 3045 << "  Could not use '/srv/a b.mdb'.  " << vbDefault
        << problem + framing + "  Could not use '/srv/a b.mdb'.  \" (3045)";
    QTest::newRow("no standard text, another current error")
        << task << 3045 << 3024 << "Could not find file." << vbHourglass
        << problem + framing + "\" (3045)";
    QTest::newRow("negative number")
        << task << -2147467259 << -2147467259 << "Could not use '/srv/a.mdb'." << vbDefault
        << problem + framing + "Could not use '/srv/a.mdb'.\" (-2147467259)";
  }
  void report() {
    QFETCH(QString, task);
    QFETCH(int, number);
    QFETCH(int, currentNumber);
    QFETCH(QString, currentDescription);
    QFETCH(int, pointer);
    QFETCH(QString, message);
    test::RecordingUi ui;
    if (currentNumber != 0) Err().Raise(currentNumber, currentDescription);
    ui.SetScreenMousePointer(pointer);
    int pointerDuring = -1;
    ui.onMessage = [&](const test::RecordingUi::Message&) {
      pointerDuring = ui.ScreenMousePointer();
      // A handler running while the box is up: the caller must still read its own error.
      Err().Raise(5, QStringLiteral("changed meanwhile"));
    };

    ReportError(ui, task, number);

    QCOMPARE(ui.messages.size(), 1);
    QCOMPARE(ui.messages.constFirst().text, message);
    QCOMPARE(ui.messages.constFirst().icon, vbExclamation);
    QCOMPARE(pointerDuring, vbDefault);
    QCOMPARE(ui.ScreenMousePointer(), pointer);
    QCOMPARE(Err().Number, currentNumber);
    QCOMPARE(Err().Description, currentDescription);
  }
};

QTEST_MAIN(ErrorReportTest)
#include "ErrorReportTest.moc"
