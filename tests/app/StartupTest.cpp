// Start-up: the remembered database is reopened, its lock file cleared or reported, and a
// file the engine refuses leaves a usable window.

#include <QFile>
#include <QTest>

#include "WindowHarness.h"
#include "platform/ErrObject.h"
#include "platform/engine/Dao.h"
#include "platform/ui/UiServices.h"
#include "support/Fixtures.h"

namespace quillet::test {

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void firstStartShowsNoDatabase() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    QVERIFY(window.isVisible());
    QCOMPARE(h.databaseCaption(), QString());
    QCOMPARE(h.modeCaption(), kSelectDatabase);
    QCOMPARE(h.actions(), QStringLiteral("disabled"));
    QVERIFY(h.browse()->isEnabled());
    QVERIFY(!window.currentDatabase());
    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(h.remembered(), QStringLiteral("<none>"));  // start-up writes nothing
  }

  void rememberedFileGoneOrEmptyIsLikeFirstStart_data() {
    QTest::addColumn<bool>("deleted");
    QTest::newRow("deleted") << true;
    QTest::newRow("truncated to 0 bytes") << false;
  }
  void rememberedFileGoneOrEmptyIsLikeFirstStart() {
    QFETCH(bool, deleted);
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    h.remember(database);
    if (deleted) {
      QVERIFY(QFile::remove(database));
    } else {
      QVERIFY(QFile::resize(database, 0));
    }

    frmDatabaseLocking& window = h.start();
    QCOMPARE(h.databaseCaption(), QString());
    QCOMPARE(h.modeCaption(), kSelectDatabase);
    QCOMPARE(h.actions(), QStringLiteral("disabled"));
    QVERIFY(!window.currentDatabase());
    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(h.remembered(), database);  // kept for a later start
  }

  void rememberedDatabaseIsReopenedAndChecked() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales 2024.mdb"));
    h.remember(database);

    frmDatabaseLocking& window = h.start();
    QVERIFY(window.currentDatabase());
    QCOMPARE(QString::fromStdString(window.currentDatabase()->Name()), database);
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));
    QVERIFY(h.ui.messages.isEmpty());
    // The window holds the file: another workstation joins its page-level session.
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }

  // Another workstation has the database open: its lock file cannot be deleted. The warning
  // appears over the visible window, and the database is opened all the same.
  void lockFileHeldElsewhereWarnsOverVisibleWindowThenOpens() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString lockFile = h.path(QStringLiteral("Sales.ldb"));
    Holder other(database, {QStringLiteral("--record")});
    QVERIFY(other.waitUntilHolding());
    QVERIFY(QFileInfo(lockFile).size() > 0);
    HardLink(lockFile, h.path(QStringLiteral("evidence")));
    h.remember(database);

    bool visibleDuringWarning = false;
    bool openDuringWarning = true;
    h.ui.onMessage = [&](const RecordingUi::Message&) {
      visibleDuringWarning = h.window().isVisible();
      openDuringWarning = static_cast<bool>(h.window().currentDatabase());
    };
    frmDatabaseLocking& window = h.start();

    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text, kLockFileWarning);
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QVERIFY(visibleDuringWarning);
    QVERIFY(!openDuringWarning);  // warned first, opened after
    QVERIFY(window.currentDatabase());
    QCOMPARE(h.modeCaption(), kRecordLevel);  // joined the other workstation's session
    QCOMPARE(InodeOf(lockFile), InodeOf(h.path(QStringLiteral("evidence"))));
  }

  // A workstation that crashed left its lock file behind; nobody holds it any more.
  void staleLockFileIsDeletedSilently() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString lockFile = h.path(QStringLiteral("Sales.ldb"));
    {
      Holder crashed(database, {QStringLiteral("--record")});
      QVERIFY(crashed.waitUntilHolding());
      crashed.kill();
    }
    QVERIFY(QFileInfo(lockFile).size() > 0);
    HardLink(lockFile, h.path(QStringLiteral("evidence")));
    h.remember(database);

    frmDatabaseLocking& window = h.start();
    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(window.currentDatabase());
    QVERIFY(InodeOf(lockFile) != InodeOf(h.path(QStringLiteral("evidence"))));
    // The crashed session's mode went with it: the window is the first opener again.
    QCOMPARE(h.modeCaption(), kPageLevel);
  }

  void emptyLockFileIsLeftAlone() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString lockFile = WriteFile(h.dir(), QStringLiteral("Sales.ldb"), QByteArray());
    HardLink(lockFile, h.path(QStringLiteral("evidence")));
    h.remember(database);

    frmDatabaseLocking& window = h.start();
    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(window.currentDatabase());
    QCOMPARE(InodeOf(lockFile), InodeOf(h.path(QStringLiteral("evidence"))));
  }

  // The remembered file is there but the engine refuses it: the standard report with the
  // engine's number and description, then the window goes on with the path and no database.
  void refusedRememberedFileIsReported_data() {
    QTest::addColumn<bool>("heldExclusively");
    QTest::newRow("not a database") << false;
    QTest::newRow("held exclusively elsewhere") << true;
  }
  void refusedRememberedFileIsReported() {
    QFETCH(bool, heldExclusively);
    WindowHarness h;
    std::unique_ptr<Holder> other;
    QString database;
    if (heldExclusively) {
      database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
      other = std::make_unique<Holder>(database, QStringList{QStringLiteral("--exclusive")});
      QVERIFY(other->waitUntilHolding());
    } else {
      database = WriteFile(h.dir(), QStringLiteral("notes.MDB"), "Not a database.\n");
    }
    h.remember(database);
    const Status refusal = ExpectedRefusal(database);
    QVERIFY(!refusal.ok());

    frmDatabaseLocking& window = h.start();
    QCOMPARE(h.ui.messages.size(), 1);
    QCOMPARE(h.ui.messages[0].text,
             QStringLiteral("There was a problem opening the database and the error's "
                            "description was reported as : \n\n\"%1\" (%2)")
                 .arg(FromLocalBytes(refusal.description()))
                 .arg(refusal.number()));
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QVERIFY(window.isVisible());
    QVERIFY(!window.currentDatabase());
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));  // the file is there and not empty
    QCOMPARE(h.modeCaption(), kSelectDatabase);
    QCOMPARE(h.remembered(), database);
    QCOMPARE(Err().Number, 0);
    QCOMPARE(h.ui.ScreenMousePointer(), vbDefault);

    // Check has nothing to look at.
    QTest::mouseClick(h.check(), Qt::LeftButton);
    QCOMPARE(h.modeCaption(), kSelectDatabase);
  }

 private:
  // What the engine itself says when asked to open the file.
  static Status ExpectedRefusal(const QString& database) {
    DatabasePtr ignored;
    return DBEngine::Instance().OpenDatabase(ToLocalBytes(database), &ignored);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::StartupTest)
#include "StartupTest.moc"
