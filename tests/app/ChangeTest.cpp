// The change to record-level locking, with real processes as the other workstations. Each
// change waits two seconds, so each test changes as few times as it can.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimer>

#include "WindowHarness.h"
#include "common/TraceLog.h"
#include "platform/ErrObject.h"
#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"
#include "platform/ui/UiServices.h"
#include "support/Fixtures.h"

namespace quillet::test {

namespace {

QString Report(const QString& task, const Status& status) {
  return QStringLiteral(
             "There was a problem %1 and the error's description was reported as : \n\n\"%2\" (%3)")
      .arg(task, FromLocalBytes(status.description()))
      .arg(status.number());
}

// What the engine says to an ADO open asking for record-level locking, as the change makes.
Status AdoRecordLevelOpen(const QString& database) {
  Connection connection;
  connection.SetProvider(kJetOleDbProvider);
  connection.SetProperty(kPropDataSource, ToLocalBytes(database));
  connection.SetProperty(kPropLockingMode, int32_t{1});
  return connection.Open({}, {}, {}, adOptionUnspecified);
}

// Writes every trace entry, for the life of the guard, into files in `folder`.
class TraceToFolder {
 public:
  explicit TraceToFolder(const QString& folder) : folder_(folder) {
    qputenv("XDG_STATE_HOME", QFile::encodeName(folder));
    LogLevel = -1;
  }
  ~TraceToFolder() {
    LogLevel = 0;
    qunsetenv("XDG_STATE_HOME");
  }
  // The messages written so far, without their time stamps, oldest first.
  QStringList messages() const {
    QStringList result;
    const QDir dir(folder_);
    for (const QString& name : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
      QFile file(dir.filePath(name));
      if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
      for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.size() > 9) result.append(QString::fromUtf8(line.mid(9)).trimmed());
      }
    }
    return result;
  }

 private:
  QString folder_;
};

}  // namespace

class ChangeTest : public QObject {
  Q_OBJECT

 private slots:
  // The typical change: nobody else has the file open. Afterwards another workstation
  // joins in record-level mode for as long as the window keeps the file open.
  void changesWhenNobodyElseHasItOpen() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString lockFile = h.path(QStringLiteral("Sales.ldb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    const DatabasePtr before = window.currentDatabase();
    QCOMPARE(h.modeCaption(), kPageLevel);
    const TraceToFolder trace(h.path(QStringLiteral("trace")));

    int pointerDuringWait = -1;
    bool heldDuringWait = true;
    QTimer::singleShot(500, [&] {
      pointerDuringWait = h.ui.MousePointer(window);
      heldDuringWait = window.currentDatabase() != nullptr || QFile::exists(lockFile);
    });
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::mouseClick(h.change(), Qt::LeftButton);

    QVERIFY(elapsed.elapsed() >= 1900);  // the locks were given their two seconds
    QCOMPARE(pointerDuringWait, vbHourglass);
    QVERIFY(!heldDuringWait);  // our handle was closed before the wait
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, kChangedToRecordLevel);
    QCOMPARE(h.ui.messages[0].icon, vbInformation);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QVERIFY(window.currentDatabase());
    QVERIFY(window.currentDatabase() != before);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QCOMPARE(Err().Number, 0);
    const QStringList steps = trace.messages();
    QCOMPARE(steps.mid(steps.indexOf(QStringLiteral("Opening ADO Connection to Database"))),
             QStringList({QStringLiteral("Opening ADO Connection to Database"),
                          QStringLiteral("Setting ADO Locking mode to Record Level"),
                          QStringLiteral("Opening database (ADO)"),
                          QStringLiteral("Opening database (DAO)"),
                          QStringLiteral("Closing database (ADO)"),
                          // the probe of the new mode, then Check's
                          QStringLiteral("Creating ADO Connection"),
                          QStringLiteral("Opening database (ADO)"),
                          QStringLiteral("Creating ADO Connection"),
                          QStringLiteral("Opening database (ADO)")}));

    QCOMPARE(CheckFromAnotherProcess(database), kRecordLevel);
    QCOMPARE(CheckFromAnotherProcess(database), kRecordLevel);
    window.close();
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }

  void failsWhileAnotherWorkstationHoldsPageMode() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    Holder other(database, {QStringLiteral("--page")});
    QVERIFY(other.waitUntilHolding());
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    QCOMPARE(h.ui.messages.size(), 1);  // its lock file is in use
    QCOMPARE(h.ui.messages[0].text, kLockFileWarning);

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QCOMPARE(h.ui.messages.size(), 2);
    QCOMPARE(h.ui.messages[1].text, kNotChangedToRecordLevel);
    QCOMPARE(h.ui.messages[1].icon, vbExclamation);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QVERIFY(window.currentDatabase());
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
  }

  void alreadyRecordLevelOnlySaysSo() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    Holder other(database, {QStringLiteral("--record")});
    QVERIFY(other.waitUntilHolding());
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    const DatabasePtr before = window.currentDatabase();
    h.ui.messages.clear();

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, kAlreadyRecordLevel);
    QCOMPARE(h.ui.messages[0].icon, vbInformation);
    QCOMPARE(window.currentDatabase(), before);  // nothing closed or reopened
    QVERIFY(before->IsOpen());
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
  }

  // No database open (the file was not one when it was picked), but the shown path names
  // one now: the change opens it.
  void changesTheShownFileWithoutCurrentDatabase() {
    WindowHarness h;
    const QString database = WriteFile(h.dir(), QStringLiteral("Sales.mdb"), "not yet\n");
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    QVERIFY(!window.currentDatabase());
    QCOMPARE(h.actions(), QStringLiteral("enabled"));
    WriteFile(h.dir(), QStringLiteral("Sales.mdb"), JetDatabaseBytes());

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, kChangedToRecordLevel);
    QVERIFY(window.currentDatabase());
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
  }

  // Another workstation takes the file exclusively while the window waits: the ADO open is
  // refused with the engine's own number and description, and no database is left open.
  void exclusiveOpenElsewhereIsReported() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    std::unique_ptr<Holder> other;
    bool holding = false;
    QTimer::singleShot(100, [&] {
      other = std::make_unique<Holder>(database, QStringList{QStringLiteral("--exclusive")});
      holding = other->waitUntilHolding();
    });

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QVERIFY(holding);
    const Status refusal = AdoRecordLevelOpen(database);
    QCOMPARE(refusal.number(), -2147467259);
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, Report(QStringLiteral("opening the database (ADO)"), refusal));
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QVERIFY(!window.currentDatabase());
    QCOMPARE(h.modeCaption(), kPageLevel);  // unchanged
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QCOMPARE(h.ui.ScreenMousePointer(), vbDefault);
    QCOMPARE(Err().Number, 0);
  }

  // A failure before the wait (here closing a handle that is no longer valid) is reported
  // by the handler, and the pointer does not stay busy.
  void failureBeforeTheWaitIsReported() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    QVERIFY(window.currentDatabase()->Close().ok());  // the handle goes bad under the window
    const Status secondClose = window.currentDatabase()->Close();
    QVERIFY(!secondClose.ok());

    QElapsedTimer elapsed;
    elapsed.start();
    QTest::mouseClick(h.change(), Qt::LeftButton);
    QVERIFY(elapsed.elapsed() < 1900);  // stopped before the wait
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, Report(QStringLiteral("closing the database"), secondClose));
    QVERIFY(!window.currentDatabase());
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(Err().Number, 0);
  }

  // Clicks during the wait run their handlers inside it. A Check finds nothing open; a
  // Browse opens another file, which the change then works on. Nothing crashes and no
  // connection is left behind.
  void checkAndBrowseDuringTheWait() {
    WindowHarness h;
    const QString first = WriteJetDatabase(h.dir(), QStringLiteral("First.mdb"));
    const QString second = WriteJetDatabase(h.dir(), QStringLiteral("Second.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(first);
    QString modeAfterNestedCheck;
    QTimer::singleShot(300, [&] {
      QTest::mouseClick(h.check(), Qt::LeftButton);
      modeAfterNestedCheck = h.modeCaption();
    });
    QTimer::singleShot(600, [&] { h.browseTo(second); });

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QCOMPARE(modeAfterNestedCheck, kPageLevel);
    QCOMPARE(h.databaseCaption(), second);
    QVERIFY(window.currentDatabase());
    QCOMPARE(QString::fromStdString(window.currentDatabase()->Name()), second);
    // The window itself had the second file open in page-level mode when the change
    // reopened it, so the change could not take.
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, kNotChangedToRecordLevel);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QVERIFY(!QFile::exists(h.path(QStringLiteral("First.ldb"))));

    window.close();
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Second.ldb"))));
    QCOMPARE(CheckFromAnotherProcess(second), kPageLevel);
  }

  // A second change clicked during the wait runs whole inside the first; both succeed on
  // the same file and neither leaves a connection behind.
  void changeDuringTheWait() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    QTimer::singleShot(300, [&] { QTest::mouseClick(h.change(), Qt::LeftButton); });

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QCOMPARE(h.ui.messages.size(), 2);
    QCOMPARE(h.ui.messages[0].text, kChangedToRecordLevel);
    QCOMPARE(h.ui.messages[1].text, kChangedToRecordLevel);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QCOMPARE(CheckFromAnotherProcess(database), kRecordLevel);

    window.close();
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Sales.ldb"))));
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }

  // Closing the window during the wait ends the change quietly: no message, nothing
  // reopened, nothing left open, also when a Browse during the wait had opened a file.
  void closingDuringTheWaitEndsQuietly_data() {
    QTest::addColumn<bool>("browseFirst");
    QTest::newRow("closed") << false;
    QTest::newRow("browsed, then closed") << true;
  }
  void closingDuringTheWaitEndsQuietly() {
    QFETCH(bool, browseFirst);
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString other = WriteJetDatabase(h.dir(), QStringLiteral("Other.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    if (browseFirst) QTimer::singleShot(200, [&] { h.browseTo(other); });
    QTimer::singleShot(500, [&] { window.close(); });

    QTest::mouseClick(h.change(), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(!window.currentDatabase());
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Sales.ldb"))));
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Other.ldb"))));
    // A new opener is the first one again.
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::ChangeTest)
#include "ChangeTest.moc"
