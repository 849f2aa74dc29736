// The change to record-level locking, with quilletctl processes as the other workstations.
// Every change waits two seconds, so the cases that wait are few and each checks much.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include "WindowHarness.h"
#include "platform/engine/Ado.h"

namespace quillet::test {

namespace {

const QString kChanged = QStringLiteral(
    "Your database has successfully been changed to Record Level Locking\n\nHowever, this "
    "will only 'stick' until the database is closed on all workstations at which point it "
    "will revert to Page Level Locking.");
const QString kNotChanged = QStringLiteral(
    "Your database could not be changed to Record Level Locking!\n\nYou should check that "
    "the database was closed on all workstations before attempting to change the locking "
    "again.");
const QString kAlready = QStringLiteral("Your database is already using Record Level Locking");

}  // namespace

class ChangeTest : public QObject {
  Q_OBJECT

 private slots:
  // Nobody else has the file open: the window lets it go, waits under the hourglass, and
  // reopens it first, in record-level mode, which other workstations then join until the
  // window closes the file. A second change finds it already done.
  void changesWhenNobodyElseHasItOpen() {
    WindowHarness h;
    const QString database = h.database();
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    const DatabasePtr before = h.current();
    int pointerDuringWait = -1;
    bool heldDuringWait = true;
    QTimer::singleShot(500, [&] {
      pointerDuringWait = h.ui.MousePointer(window);
      heldDuringWait = h.current() || QFile::exists(h.path(QStringLiteral("Sales.ldb")));
    });
    QString modeDuringMessage;
    h.ui.onMessage = [&](const RecordingUi::Message&) { modeDuringMessage = h.modeCaption(); };
    QElapsedTimer elapsed;
    elapsed.start();

    h.click(h.change());
    QVERIFY(elapsed.elapsed() >= 1900);
    QCOMPARE(pointerDuringWait, vbHourglass);
    QVERIFY(!heldDuringWait);  // our handle was closed before the wait
    QCOMPARE(h.messages(), QStringList{kChanged});
    QCOMPARE(h.ui.messages[0].icon, vbInformation);
    QCOMPARE(modeDuringMessage, kPageLevel);  // the message first, then the new mode line
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QVERIFY(h.current() && h.current() != before);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QCOMPARE(Err().Number, 0);
    QCOMPARE(CheckFromAnotherProcess(database), kRecordLevel);
    QCOMPARE(CheckFromAnotherProcess(database), kRecordLevel);

    DatabasePtr changed = h.current();
    h.click(h.change());
    QCOMPARE(h.messages(), QStringList({kChanged, kAlready}));
    QCOMPARE(h.ui.messages[1].icon, vbInformation);
    QCOMPARE(h.current(), changed);  // nothing closed or reopened
    QVERIFY(changed->IsOpen());
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    changed.reset();  // the window's own handle is now the only one
    window.close();
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }

  void failsWhileAnotherWorkstationHoldsPageMode() {
    WindowHarness h;
    const QString database = h.database();
    OtherProcess other({"hold", ToLocalBytes(database), "--page"});
    QVERIFY(!other.line().empty());
    h.start();
    h.browseTo(database);
    h.ui.messages.clear();  // the warning about the other's lock file

    h.click(h.change());
    QCOMPARE(h.messages(), QStringList{kNotChanged});
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QVERIFY(h.current());
  }

  // No database open (the file was none when picked), but the shown path names one now.
  void changesTheShownFileWithoutCurrentDatabase() {
    WindowHarness h;
    h.start();
    h.browseTo(h.file(QStringLiteral("Sales.mdb"), "not yet\n"));
    QVERIFY(!h.current());
    h.database();

    h.click(h.change());
    QCOMPARE(h.messages(), QStringList{kChanged});
    QVERIFY(h.current());
    QCOMPARE(h.modeCaption(), kRecordLevel);
  }

  // Another workstation takes the file exclusively during the wait: the ADO open is refused
  // and reported with the engine's own description and number; no database is left open.
  void exclusiveOpenElsewhereIsReported() {
    WindowHarness h;
    const QString database = h.database();
    h.start();
    h.browseTo(database);
    std::unique_ptr<OtherProcess> other;
    QTimer::singleShot(100, [&] {
      other = std::make_unique<OtherProcess>(
          std::vector<std::string>{"hold", ToLocalBytes(database), "--exclusive"});
      QVERIFY(!other->line().empty());
    });

    h.click(h.change());
    Connection ado;  // what the engine says to the same request
    ado.SetProvider(kJetOleDbProvider);
    ado.SetProperty(kPropDataSource, ToLocalBytes(database));
    ado.SetProperty(kPropLockingMode, int32_t{1});
    const Status refusal = ado.Open({}, {}, {}, adOptionUnspecified);
    QVERIFY(!refusal.ok());
    QCOMPARE(h.messages(), QStringList{Report(QStringLiteral("opening the database (ADO)"), refusal)});
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QVERIFY(!h.current());
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(h.ui.MousePointer(h.window()), vbDefault);
    QCOMPARE(Err().Number, 0);
  }

  // Nothing stops clicks during the wait; their handlers run inside it. A Check finds nothing
  // open, a Browse opens another file, and a second change runs whole on it; then the first
  // change goes on with the file now shown. Nothing is left open.
  void clicksDuringTheWait() {
    WindowHarness h;
    const QString second = h.database(QStringLiteral("Second.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(h.database(QStringLiteral("First.mdb")));
    QString modeAfterNestedCheck;
    QTimer::singleShot(300, [&] {
      h.click(h.check());
      modeAfterNestedCheck = h.modeCaption();
    });
    QTimer::singleShot(600, [&] { h.browseTo(second); });
    QTimer::singleShot(900, [&] { h.click(h.change()); });

    h.click(h.change());
    QCOMPARE(modeAfterNestedCheck, kPageLevel);
    QCOMPARE(h.messages(), QStringList({kChanged, kChanged}));
    QCOMPARE(QString::fromStdString(h.current()->Name()), second);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QVERIFY(!QFile::exists(h.path(QStringLiteral("First.ldb"))));
    QCOMPARE(CheckFromAnotherProcess(second), kRecordLevel);
    window.close();
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Second.ldb"))));
  }

  // Closing the window during the wait ends the program: the event loop returns, the change
  // ends without a word, and nothing stays open, not even a file a Browse opened meanwhile.
  // Last, as it runs the application's event loop.
  void closingDuringTheWaitEndsTheProgram() {
    WindowHarness h;
    const QString database = h.database();
    h.remember(database);
    h.start();
    bool changeReturned = false;
    QTimer::singleShot(0, [&] {
      h.click(h.change());
      changeReturned = true;
    });
    QTimer::singleShot(200, [&] { h.browseTo(h.database(QStringLiteral("Other.mdb"))); });
    QTimer::singleShot(500, [&] { h.window().close(); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });  // the loop never ended

    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(changeReturned);
    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(!h.current());
    QCOMPARE(h.ui.MousePointer(h.window()), vbDefault);
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Sales.ldb"))));
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Other.ldb"))));
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::ChangeTest)
#include "ChangeTest.moc"
