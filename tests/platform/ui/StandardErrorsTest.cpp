#include <QTest>
#include <climits>

#include "platform/ui/UiServices.h"

using namespace quillet;

class StandardErrorsTest : public QObject {
  Q_OBJECT

 private slots:
  void fileAndArgumentErrorsHaveVbTexts_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("5") << 5 << "Invalid procedure call or argument";
    QTest::newRow("6") << 6 << "Overflow";
    QTest::newRow("53") << 53 << "File not found";
    QTest::newRow("57") << 57 << "Device I/O error";
    QTest::newRow("68") << 68 << "Device unavailable";
    QTest::newRow("70") << 70 << "Permission denied";
    QTest::newRow("71") << 71 << "Disk not ready";
    QTest::newRow("75") << 75 << "Path/File access error";
    QTest::newRow("76") << 76 << "Path not found";
  }
  void fileAndArgumentErrorsHaveVbTexts() {
    QFETCH(int, number);
    QFETCH(QString, text);
    QCOMPARE(StandardErrorText(number), text);
  }

  // The neighbours of every entry, engine numbers, and numbers that only share low bits
  // with an entry: none has a text, so the engine's own description gets shown instead.
  void everythingElseHasNoText_data() {
    QTest::addColumn<int>("number");
    for (int number : {0, 1, 4, 7, 52, 54, 56, 58, 67, 69, 72, 74, 77, 3024, 3045, 3051, 3356,
                       -5, -70, -2147467259, -2147217843, 65536 + 70, 65536 + 5, INT_MIN,
                       INT_MAX}) {
      QTest::newRow(QByteArray::number(number).constData()) << number;
    }
  }
  void everythingElseHasNoText() {
    QFETCH(int, number);
    QVERIFY2(StandardErrorText(number).isEmpty(), qPrintable(StandardErrorText(number)));
  }
};

QTEST_APPLESS_MAIN(StandardErrorsTest)
#include "StandardErrorsTest.moc"
