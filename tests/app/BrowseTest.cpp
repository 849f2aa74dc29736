// Browse and Check: the file-open dialog's request, what each kind of chosen file leads to,
// the three information lines, and which buttons are enabled.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTest>

#include "WindowHarness.h"
#include "platform/ErrObject.h"
#include "platform/ui/UiServices.h"
#include "support/Fixtures.h"

namespace quillet::test {

class BrowseTest : public QObject {
  Q_OBJECT

 private slots:
  void cancelWithoutDatabaseChangesNothing() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    h.browseTo(QString());

    QCOMPARE(h.ui.openRequests.size(), 1);
    const OpenFileRequest& request = h.ui.openRequests[0];
    QCOMPARE(request.DialogTitle, QStringLiteral("Select Database"));
    QCOMPARE(request.Filter, QStringLiteral("Database Files (*.MDB)|*.MDB"));
    QCOMPARE(request.FileName, QString());
    QVERIFY(request.CancelError);

    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(!window.currentDatabase());
    QCOMPARE(h.databaseCaption(), QString());
    QCOMPARE(h.modeCaption(), kSelectDatabase);
    QCOMPARE(h.actions(), QStringLiteral("disabled"));
    QCOMPARE(h.remembered(), QStringLiteral("<none>"));
    QCOMPARE(Err().Number, 0);
  }

  void cancelWithDatabaseOpenChangesNothing() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    const DatabasePtr opened = window.currentDatabase();
    QVERIFY(opened);

    h.browseTo(QString());
    QCOMPARE(h.ui.openRequests.size(), 2);
    QCOMPARE(h.ui.openRequests[1].FileName, database);  // the dialog starts on the shown file
    QCOMPARE(window.currentDatabase(), opened);
    QVERIFY(opened->IsOpen());
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));
    QVERIFY(h.ui.messages.isEmpty());
  }

  // Picking the open file again closes and reopens it: here the reopening starts a new
  // session, so the information line changes.
  void browseToTheOpenFileReopensAndRefreshes() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    Holder other(database, {QStringLiteral("--record")});
    QVERIFY(other.waitUntilHolding());
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    QCOMPARE(h.ui.messages.size(), 1);  // the other workstation's lock file
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(other.stop(), 0);
    const DatabasePtr first = window.currentDatabase();

    h.browseTo(database);
    QCOMPARE(h.ui.messages.size(), 1);  // our own lock file went with our close: no warning
    QVERIFY(window.currentDatabase());
    QVERIFY(window.currentDatabase() != first);
    QVERIFY(!first->IsOpen());
    QCOMPARE(h.modeCaption(), kPageLevel);
  }

  // A file the engine refuses: no message; the path shows and is remembered, the buttons
  // follow the file, the information line keeps its text, and Check has nothing to check.
  void browseToNonDatabaseKeepsInformationLine() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString notes = WriteFile(h.dir(), QStringLiteral("notes.MDB"), "meeting notes\n");
    frmDatabaseLocking& window = h.start();
    h.browseTo(database);
    const DatabasePtr previous = window.currentDatabase();
    QCOMPARE(h.modeCaption(), kPageLevel);

    h.browseTo(notes);
    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(!window.currentDatabase());
    QVERIFY(!previous->IsOpen());
    QVERIFY(!QFile::exists(h.path(QStringLiteral("Sales.ldb"))));  // nothing left holding it
    QCOMPARE(h.databaseCaption(), notes);
    QCOMPARE(h.remembered(), notes);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(Err().Number, 0);

    QTest::mouseClick(h.check(), Qt::LeftButton);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QVERIFY(h.ui.messages.isEmpty());
  }

  void checkShowsEachMode_data() {
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first opener") << "alone" << kPageLevel;
    QTest::newRow("joined a record-level session") << "record" << kRecordLevel;
    QTest::newRow("file gone from under the window") << "removed" << kModeUnknown;
  }
  void checkShowsEachMode() {
    QFETCH(QString, situation);
    QFETCH(QString, expected);
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    std::unique_ptr<Holder> other;
    if (situation == "record") {
      other = std::make_unique<Holder>(database, QStringList{QStringLiteral("--record")});
      QVERIFY(other->waitUntilHolding());
    }
    h.start();
    h.browseTo(database);
    if (situation == "removed") QVERIFY(QFile::remove(database));

    h.ui.messages.clear();
    QTest::mouseClick(h.check(), Qt::LeftButton);
    QCOMPARE(h.modeCaption(), expected);
    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(h.ui.MousePointer(h.window()), vbDefault);
  }

  // The buttons say whether the shown path names a non-empty file, whether or not it opened.
  void buttonsFollowTheFileNotTheOpen_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("create");
    QTest::addColumn<QString>("actions");
    QTest::newRow("database") << "a.mdb" << JetDatabaseBytes() << true << "enabled";
    QTest::newRow("not a database") << "b.MDB" << QByteArray("text") << true << "enabled";
    QTest::newRow("empty file") << "c.MDB" << QByteArray() << true << "disabled";
    QTest::newRow("missing file") << "d.MDB" << QByteArray() << false << "disabled";
  }
  void buttonsFollowTheFileNotTheOpen() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, create);
    QFETCH(QString, actions);
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    const QString chosen = create ? WriteFile(h.dir(), name, content) : h.path(name);
    h.start();
    h.browseTo(database);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));

    h.browseTo(chosen);
    QCOMPARE(h.databaseCaption(), chosen);
    QCOMPARE(h.actions(), actions);
    QVERIFY(h.ui.messages.isEmpty());
  }

  // A lock-file name that reaches the chosen file itself must never be deleted: it is the
  // user's database.
  void lockFileThatIsTheDatabaseIsNeverDeleted_data() {
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("database named *.ldb") << false;
    QTest::newRow("*.mdb linked to the *.ldb database") << true;
  }
  void lockFileThatIsTheDatabaseIsNeverDeleted() {
    QFETCH(bool, throughLink);
    WindowHarness h;
    const QByteArray bytes = JetDatabaseBytes();
    const QString database = WriteFile(h.dir(), QStringLiteral("Sales.ldb"), bytes);
    QString chosen = database;
    if (throughLink) {
      chosen = h.path(QStringLiteral("Sales.mdb"));
      QVERIFY(QFile::link(database, chosen));
    }
    h.start();
    h.browseTo(chosen);

    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(h.window().currentDatabase());
    QFile file(database);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
  }

  // Special files are refused at once: picking one must never block the window.
  void specialFilesAreRefusedWithoutBlocking_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO, with a FIFO as lock file") << "fifo";
    QTest::newRow("directory") << "directory";
    QTest::newRow("device") << "device";
  }
  void specialFilesAreRefusedWithoutBlocking() {
    QFETCH(QString, kind);
    WindowHarness h;
    QString chosen;
    if (kind == "fifo") {
      chosen = h.path(QStringLiteral("pipe.MDB"));
      QCOMPARE(::mkfifo(QFile::encodeName(chosen).constData(), 0600), 0);
      QCOMPARE(::mkfifo(QFile::encodeName(h.path(QStringLiteral("pipe.ldb"))).constData(), 0600),
               0);
    } else if (kind == "directory") {
      chosen = h.path(QStringLiteral("folder.MDB"));
      QVERIFY(QDir().mkdir(chosen));
    } else {
      chosen = QStringLiteral("/dev/zero");
    }
    h.start();
    h.browseTo(chosen);

    QVERIFY(h.ui.messages.isEmpty());
    QVERIFY(!h.window().currentDatabase());
    QCOMPARE(h.databaseCaption(), chosen);
    QCOMPARE(h.actions(), QStringLiteral("disabled"));
    QCOMPARE(h.remembered(), chosen);
  }

  // Spaces, non-ASCII letters and text that looks like markup travel whole: to the engine,
  // to the label and to the remembered setting.
  void unusualNamesTravelWhole() {
    WindowHarness h;
    const QString folder = h.path(QStringLiteral("Données clients"));
    QVERIFY(QDir().mkdir(folder));
    const QString database =
        WriteJetDatabase(folder, QStringLiteral("Ventes <b>été <i>&amp; Co 2024.mdb"));
    h.start();
    h.browseTo(database);

    QVERIFY(h.window().currentDatabase());
    QCOMPARE(h.window().currentDatabase()->Name(), ToLocalBytes(database));
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.remembered(), database);
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }

  // A path too long for its box keeps both ends in view, the file name included; the whole
  // path is in the tool tip. A short one is shown as it is.
  void longPathShowsItsFileName() {
    WindowHarness h;
    const QString folder = h.path(QStringLiteral("accounts/archive/2019/quarterly reports/"
                                                 "regional offices/north-east/final"));
    QVERIFY(QDir().mkpath(folder));
    const QString deep = WriteJetDatabase(folder, QStringLiteral("Sales.mdb"));
    const QString shallow = WriteJetDatabase(h.dir(), QStringLiteral("S.mdb"));
    h.start();
    auto* label = h.window().findChild<CaptionLabel*>(QStringLiteral("lblDatabase"));

    h.browseTo(deep);
    QCOMPARE(label->caption(), deep);
    QVERIFY(label->text() != deep);
    QVERIFY(label->text().endsWith(QStringLiteral("/Sales.mdb")));
    QVERIFY(label->text().startsWith(deep.left(4)));
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width());
    QCOMPARE(label->toolTip(), deep);

    h.browseTo(shallow);
    QCOMPARE(label->text(), shallow);
    QCOMPARE(label->toolTip(), QString());
  }

  // A file name that is not valid UTF-8 cannot come back whole through a text path; the
  // window then finds no such file, says nothing, and the file is untouched.
  void nonUtf8NameLosesNothing() {
    WindowHarness h;
    const QByteArray rawName = QFile::encodeName(h.dir()) + "/caf\xe9.mdb";
    const QByteArray bytes = JetDatabaseBytes();
    {
      QFile file(QFile::decodeName(rawName));
      const int fd = ::open(rawName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
      QVERIFY(fd >= 0);
      QVERIFY(file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
      QCOMPARE(file.write(bytes), bytes.size());
    }
    h.start();
    h.browseTo(QFile::decodeName(rawName));

    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(Err().Number, 0);
    struct stat info {};
    QCOMPARE(::stat(rawName.constData(), &info), 0);
    QCOMPARE(static_cast<qint64>(info.st_size), static_cast<qint64>(bytes.size()));
    QCOMPARE(::unlink(rawName.constData()), 0);  // the temporary folder cannot name it
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::BrowseTest)
#include "BrowseTest.moc"
