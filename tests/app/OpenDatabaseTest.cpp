// Start-up, Browse and Check on the real window, engine and settings store, with quilletctl
// processes as the other workstations.

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "WindowHarness.h"

namespace quillet::test {

// The inode a path names now, or 0. A hard link to a lock file keeps its inode alive, so
// comparing with it tells a kept file from one deleted and created anew.
static ino_t InodeOf(const QString& path) {
  struct stat info {};
  return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

class OpenDatabaseTest : public QObject {
  Q_OBJECT

 private slots:
  // Nothing to open at start-up; a cancelled Browse then changes nothing either.
  void startsWithoutDatabase_data() {
    QTest::addColumn<QString>("remembered");
    QTest::newRow("first start") << "nothing";
    QTest::newRow("remembered file deleted") << "deleted";
    QTest::newRow("remembered file truncated") << "truncated";
  }
  void startsWithoutDatabase() {
    QFETCH(QString, remembered);
    WindowHarness h;
    const QString database = h.database();
    if (remembered != "nothing") h.remember(database);
    if (remembered == "deleted") QVERIFY(QFile::remove(database));
    if (remembered == "truncated") QVERIFY(QFile::resize(database, 0));
    QVERIFY(h.start().isVisible());
    h.browseTo(QString());

    const OpenFileRequest& request = h.ui.openRequests.last();
    QCOMPARE(request.DialogTitle, QStringLiteral("Select Database"));
    QCOMPARE(request.Filter, QStringLiteral("Database Files (*.MDB)|*.MDB"));
    QCOMPARE(request.FileName, QString());
    QVERIFY(request.CancelError);
    QVERIFY(!h.current());
    QCOMPARE(h.databaseCaption(), QString());
    QCOMPARE(h.modeCaption(), kSelectDatabase);
    QCOMPARE(h.actions(), QStringLiteral("disabled"));
    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(Err().Number, 0);
    // Nothing is written: a path that is gone now is kept for a later start.
    QCOMPARE(h.remembered(), remembered == "nothing" ? QStringLiteral("<none>") : database);
  }

  // The remembered database is reopened. Its lock file is deleted silently when nobody holds
  // it (a crash left it), reported over the visible window when another workstation holds
  // it, and left alone when empty.
  void reopensRememberedDatabase_data() {
    QTest::addColumn<QString>("lockFile");
    QTest::newRow("held elsewhere") << "held";
    QTest::newRow("stale") << "stale";
    QTest::newRow("empty") << "empty";
  }
  void reopensRememberedDatabase() {
    QFETCH(QString, lockFile);
    const bool held = lockFile == "held";
    WindowHarness h;
    const QString database = h.database(QStringLiteral("Sales 2024.mdb"));
    const QString ldb = h.path(QStringLiteral("Sales 2024.ldb"));
    std::unique_ptr<OtherProcess> other;
    if (lockFile == "empty") {
      h.file(QStringLiteral("Sales 2024.ldb"), QByteArray());
    } else {
      other = std::make_unique<OtherProcess>(
          std::vector<std::string>{"hold", ToLocalBytes(database), "--record"});
      QVERIFY(!other->line().empty());
      if (lockFile == "stale") other->stop(SIGKILL);  // no clean-up
    }
    const QString evidence = h.path(QStringLiteral("evidence"));
    QCOMPARE(::link(QFile::encodeName(ldb).constData(), QFile::encodeName(evidence).constData()), 0);
    h.remember(database);
    bool visibleDuringWarning = false;
    bool openDuringWarning = true;
    h.ui.onMessage = [&](const RecordingUi::Message&) {
      visibleDuringWarning = h.window().isVisible();
      openDuringWarning = static_cast<bool>(h.current());
    };

    h.start();
    QCOMPARE(h.messages(), held ? QStringList{kLockFileWarning} : QStringList());
    if (held) {
      QCOMPARE(h.ui.messages[0].icon, vbExclamation);
      QVERIFY(visibleDuringWarning);
      QVERIFY(!openDuringWarning);  // warned first, opened after
    }
    QVERIFY(h.current());
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));
    QCOMPARE(InodeOf(ldb) == InodeOf(evidence), lockFile != "stale");
    // A crashed session's mode went with it; the window holds the file, so another
    // workstation joins the window's session.
    QCOMPARE(h.modeCaption(), held ? kRecordLevel : kPageLevel);
    QCOMPARE(CheckFromAnotherProcess(database), h.modeCaption());
  }

  // A remembered file the engine refuses: the report with the engine's own number and
  // description, then a usable window showing the path, with no database.
  void refusedAtStartupIsReported() {
    WindowHarness h;
    const QString notes = h.file(QStringLiteral("notes.MDB"), "Not a database.\n");
    h.remember(notes);
    DatabasePtr ignored;
    const Status refusal = DBEngine::Instance().OpenDatabase(ToLocalBytes(notes), &ignored);
    QVERIFY(!refusal.ok());

    QVERIFY(h.start().isVisible());
    QCOMPARE(h.messages(), QStringList{Report(QStringLiteral("opening the database"), refusal)});
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QVERIFY(!h.current());
    QCOMPARE(h.databaseCaption(), notes);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));  // the file is there and not empty
    QCOMPARE(Err().Number, 0);
    h.click(h.check());  // nothing to look at
    QCOMPARE(h.modeCaption(), kSelectDatabase);
  }

  // Browse with a database open: Cancel keeps it, and the dialog starts on the shown file.
  // Picking that file again reopens it, a new session with its own mode; Check then tells
  // when the file has gone from under the window.
  void browseAgainAndCheck() {
    WindowHarness h;
    const QString database = h.database();
    OtherProcess other({"hold", ToLocalBytes(database), "--record"});
    QVERIFY(!other.line().empty());
    h.start();
    h.browseTo(database);
    QCOMPARE(h.messages(), QStringList{kLockFileWarning});
    QCOMPARE(h.modeCaption(), kRecordLevel);
    const DatabasePtr first = h.current();

    h.browseTo(QString());
    QCOMPARE(h.ui.openRequests.last().FileName, database);
    QCOMPARE(h.current(), first);
    QVERIFY(first->IsOpen());
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(h.remembered(), database);

    QCOMPARE(other.stop(), 0);
    h.browseTo(database);
    QCOMPARE(h.ui.messages.size(), 1);  // our own lock file went with our close
    QVERIFY(h.current() && h.current() != first);
    QVERIFY(!first->IsOpen());
    QCOMPARE(h.modeCaption(), kPageLevel);

    QVERIFY(QFile::remove(database));
    h.click(h.check());
    QCOMPARE(h.modeCaption(),
             QStringLiteral("Information: The type of locking the database is using cannot be found."));
    QCOMPARE(h.ui.messages.size(), 1);
  }

  // Browse from an open database. The buttons then say whether the shown path names a
  // non-empty file, not whether it opened. A file the engine refuses is shown and remembered
  // without a word, the previous database let go and its mode line left as it was; special
  // files are refused at once (a FIFO must not block the window); an odd name travels whole;
  // and a database whose lock-file name is its own name is never deleted.
  void browseToEachKindOfFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("actions");
    QTest::newRow("database") << "Ventes <b>été &amp; Co.mdb" << JetDatabaseBytes() << "enabled";
    QTest::newRow("database named *.ldb") << "Kept.ldb" << JetDatabaseBytes() << "enabled";
    QTest::newRow("not a database") << "notes.MDB" << QByteArray("meeting notes") << "enabled";
    QTest::newRow("empty file") << "empty.MDB" << QByteArray() << "disabled";
    QTest::newRow("missing file") << "missing" << QByteArray() << "disabled";
    QTest::newRow("FIFO, its lock file a FIFO too") << "fifo" << QByteArray() << "disabled";
    QTest::newRow("directory") << "directory" << QByteArray() << "disabled";
    QTest::newRow("device") << "/dev/zero" << QByteArray() << "disabled";
  }
  void browseToEachKindOfFile() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, actions);
    WindowHarness h;
    QString chosen = name.startsWith('/') ? name : h.path(name + QStringLiteral(".MDB"));
    if (name == "fifo") {
      QCOMPARE(::mkfifo(QFile::encodeName(chosen).constData(), 0600), 0);
      QCOMPARE(::mkfifo(QFile::encodeName(h.path(QStringLiteral("fifo.ldb"))).constData(), 0600), 0);
    } else if (name == "directory") {
      QVERIFY(QDir().mkdir(chosen));
    } else if (name.contains('.')) {
      chosen = h.file(name, content);
    }
    h.start();
    h.browseTo(h.database(QStringLiteral("Start.mdb")));
    const DatabasePtr previous = h.current();

    h.browseTo(chosen);
    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(Err().Number, 0);
    QCOMPARE(h.databaseCaption(), chosen);
    QCOMPARE(h.remembered(), chosen);
    QCOMPARE(h.actions(), actions);
    QVERIFY(!previous->IsOpen());
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Start.ldb"))));
    QCOMPARE(h.modeCaption(), kPageLevel);
    if (content == JetDatabaseBytes()) {
      QCOMPARE(h.current()->Name(), ToLocalBytes(chosen));
      QCOMPARE(CheckFromAnotherProcess(chosen), kPageLevel);
      QFile file(chosen);
      QVERIFY(file.open(QIODevice::ReadOnly));
      QCOMPARE(file.readAll(), content);
    } else {
      QVERIFY(!h.current());
      h.click(h.check());  // nothing to check
      QVERIFY(h.ui.messages.isEmpty());
    }
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::OpenDatabaseTest)
#include "OpenDatabaseTest.moc"
