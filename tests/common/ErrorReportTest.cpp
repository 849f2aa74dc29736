#include <QCursor>
#include <QGuiApplication>
#include <QTest>
#include <climits>

#include "common/ErrorReport.h"
#include "platform/ErrObject.h"
#include "support/RecordingUi.h"

using namespace quillet;

namespace {

const QString kFraming = QStringLiteral(" and the error's description was reported as : \n\n\"");

}  // namespace

class ErrorReportTest : public QObject {
  Q_OBJECT

  test::RecordingUi ui_;

 private slots:
  void init() {
    ui_.messages.clear();
    ui_.onMessage = nullptr;
    Err().Clear();
  }
  void cleanup() {
    ui_.SetScreenMousePointer(vbDefault);
    Err().Clear();
  }

  void composition_data() {
    QTest::addColumn<QString>("task");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("currentNumber");
    QTest::addColumn<QString>("currentDescription");
    QTest::addColumn<QString>("message");

    QTest::newRow("standard text")
        << "opening the database (DAO)" << 70 << 0 << QString()
        << "There was a problem opening the database (DAO)" + kFraming +
               "Permission denied\" (70)";
    QTest::newRow("standard text wins over the current error")
        << "opening the database (DAO)" << 53 << 53 << "Could not find file 'x'."
        << "There was a problem opening the database (DAO)" + kFraming +
               "File not found\" (53)";
    QTest::newRow("task trimmed of spaces only")
        << "   opening the database (ADO) \t  " << 76 << 0 << QString()
        << "There was a problem opening the database (ADO) \t" + kFraming +
               "Path not found\" (76)";
    QTest::newRow("number 0 is one line")
        << "  opening the database (DAO)  " << 0 << 3024 << "Could not find file."
        << "There was a problem opening the database (DAO)";
    QTest::newRow("engine error with matching current error, description untrimmed")
        << "opening the database (ADO)" << 3045 << 3045
        << "  Could not use '/srv/a b.mdb'; file already in use.  "
        << "There was a problem opening the database (ADO)" + kFraming +
               "  Could not use '/srv/a b.mdb'; file already in use.  \" (3045)";
    QTest::newRow("engine error with another current error")
        << "opening the database (ADO)" << 3045 << 3024 << "Could not find file."
        << "There was a problem opening the database (ADO)" + kFraming + "\" (3045)";
    QTest::newRow("engine error with no current error")
        << "opening the database (ADO)" << 3356 << 0 << QString()
        << "There was a problem opening the database (ADO)" + kFraming + "\" (3356)";
    QTest::newRow("negative number")
        << "opening the database (ADO)" << -2147467259 << -2147467259
        << "Unspecified error"
        << "There was a problem opening the database (ADO)" + kFraming +
               "Unspecified error\" (-2147467259)";
    QTest::newRow("smallest number")
        << "x" << INT_MIN << 0 << QString()
        << "There was a problem x" + kFraming + "\" (-2147483648)";
    QTest::newRow("empty task") << "   " << 5 << 0 << QString()
                                << "There was a problem " + kFraming +
                                       "Invalid procedure call or argument\" (5)";
  }
  void composition() {
    QFETCH(QString, task);
    QFETCH(int, number);
    QFETCH(int, currentNumber);
    QFETCH(QString, currentDescription);
    QFETCH(QString, message);
    if (currentNumber != 0) Err().Raise(currentNumber, currentDescription);

    ReportError(ui_, task, number);

    QCOMPARE(ui_.messages.size(), 1);
    QCOMPARE(ui_.messages.constFirst().text, message);
    QCOMPARE(ui_.messages.constFirst().icon, vbExclamation);
  }

  // The report is shown with the normal arrow, and the pointer is then put back exactly.
  void screenPointerIsDefaultDuringAndRestoredAfter_data() {
    QTest::addColumn<int>("before");
    QTest::newRow("default") << vbDefault;
    QTest::newRow("hourglass") << vbHourglass;
  }
  void screenPointerIsDefaultDuringAndRestoredAfter() {
    QFETCH(int, before);
    ui_.SetScreenMousePointer(before);
    int during = -1;
    bool overrideDuring = true;
    ui_.onMessage = [&](const test::RecordingUi::Message&) {
      during = ui_.ScreenMousePointer();
      overrideDuring = QGuiApplication::overrideCursor() != nullptr;
    };

    ReportError(ui_, QStringLiteral("opening the database (DAO)"), 3024);

    QCOMPARE(during, vbDefault);
    QVERIFY(!overrideDuring);
    QCOMPARE(ui_.ScreenMousePointer(), before);
    const QCursor* after = QGuiApplication::overrideCursor();
    QCOMPARE(after != nullptr, before == vbHourglass);
    if (after != nullptr) QCOMPARE(after->shape(), Qt::WaitCursor);
  }

  // The caller reads the error again after the report, even if something ran meanwhile.
  void currentErrorIsLeftAsFound() {
    Err().Raise(3024, QStringLiteral("Could not find file '/srv/x.mdb'."));
    ui_.onMessage = [](const test::RecordingUi::Message&) {
      Err().Raise(5, QStringLiteral("changed by a handler"));
    };
    ReportError(ui_, QStringLiteral("opening the database (DAO)"), 3024);
    QCOMPARE(Err().Number, 3024);
    QCOMPARE(Err().Description, QStringLiteral("Could not find file '/srv/x.mdb'."));

    Err().Clear();
    ReportError(ui_, QStringLiteral("opening the database (DAO)"), 70);
    QCOMPARE(Err().Number, 0);
    QVERIFY(Err().Description.isEmpty());
  }
};

QTEST_MAIN(ErrorReportTest)
#include "ErrorReportTest.moc"
