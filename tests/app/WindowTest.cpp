// The window on the real engine and settings store, quilletctl as the other workstations.

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <QAccessible>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTimer>
#include <filesystem>
#include <optional>

#include "WindowHarness.h"
#include "platform/ui/QtUiServices.h"
#include "support/EngineTestUtil.h"

namespace quillet::test {

class WindowTest : public QObject {
  Q_OBJECT
  QList<QWidget*> before_;

 private slots:
  void initTestCase() { before_ = TopLevelWidgets(); }
  void cleanup() { QCOMPARE(LeftBehind(before_), QString()); }

  // The window grows with the user's font: nothing overlaps, every text shows whole.
  void readableAtUsersFont_data() {
    // smaller: a size the window must outgrow (0: none), measured in the row itself
    Columns<double, double>("pointSize", "smaller");
    for (const auto& [size, smaller] : {std::pair{9.0, 0.0}, {14.0, 9.0}, {20.0, 14.0}})
      QTest::addRow("%g pt", size) << size << smaller;
  }
  void readableAtUsersFont() {
    const auto [pointSize, smaller] = Fetch<double, double>("pointSize", "smaller");
    QFont font(QStringLiteral("DejaVu Sans"));
    const QFont userFont = QApplication::font();
    const auto restore = qScopeGuard([&] { QApplication::setFont(userFont); });
    QSize outgrown;
    if (smaller > 0) {
      font.setPointSizeF(smaller);
      QApplication::setFont(font);
      outgrown = WindowHarness().start().size();
    }
    font.setPointSizeF(pointSize);
    QApplication::setFont(font);
    WindowHarness h;
    const QString database = h.database();
    h.remember(database);
    frmDatabaseLocking& window = h.start();
    QCOMPARE(window.font(), font);
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QVERIFY(window.width() >= 454);
    QVERIFY(window.height() >= 85);
    if (outgrown.isValid()) {
      QVERIFY(window.width() > outgrown.width());
      QVERIFY(window.height() > outgrown.height());
    }

    CaptionLabel* path = h.label("lblDatabase");
    CaptionLabel* mode = h.label("lblDatabaseLockingMode");
    const QList<QWidget*> controls = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(controls.size(), 6);
    for (QWidget* control : controls) {
      QVERIFY(window.rect().contains(control->geometry()));
      for (QWidget* other : controls)
        QVERIFY(other == control || !other->geometry().intersects(control->geometry()));
      QVERIFY(control->width() >= control->sizeHint().width() || control == path);
    }
    QVERIFY(h.change()->height() >= h.change()->sizeHint().height());
    for (CaptionLabel* label : {path, mode})
      QVERIFY(label->contentsRect().height() >= label->fontMetrics().height());
    QCOMPARE(path->text(), database);
    for (const QString& text : {kCannotBeFound, kSelectDatabase, kPageLevel, kRecordLevel}) {
      mode->setCaption(text);
      QCOMPARE(mode->text(), text);  // not elided
      QVERIFY(mode->fontMetrics().horizontalAdvance(text) <= mode->contentsRect().width());
    }
  }

  // Ctrl+O, F5 (not while Check is disabled); screen readers say the buttons' names and keys.
  void keyboard() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    for (QPushButton* button : window.findChildren<QPushButton*>())
      QVERIFY(!QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name).isEmpty());
    for (const auto& [button, shortcut] : {std::pair{h.browse(), "Ctrl+O"}, {h.check(), "F5"}}) {
      QCOMPARE(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Description),
               QStringLiteral("Shortcut: ") + shortcut);
      QVERIFY(button->toolTip().isEmpty());
    }
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    h.ui.answerOpenWith(h.database());
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    QTRY_COMPARE(h.modeCaption(), kPageLevel);
    QVERIFY(QFile::remove(h.databaseCaption()));
    h.check()->setEnabled(false);
    QTest::keyClick(&window, Qt::Key_F5);
    // A button's shortcut clicks after a short animation that holds the button down.
    QTRY_VERIFY(!h.check()->isDown());
    QCOMPARE(h.modeCaption(), kPageLevel);
    h.check()->setEnabled(true);
    QTest::keyClick(&window, Qt::Key_F5);
    QTRY_COMPARE(h.modeCaption(), kCannotBeFound);
  }

  // Nothing usable at start-up: a refused file is reported and shown, a gone path kept.
  void startsWithoutDatabase_data() {
    // content: null: no file
    Columns<bool, QByteArray>("remembered", "content");
    QTest::newRow("first start") << false << QByteArray();
    QTest::newRow("remembered file truncated") << true << QByteArray("");
    QTest::newRow("remembered file refused") << true << QByteArray("Not a database.\n");
  }
  void startsWithoutDatabase() {
    const auto [remembered, content] = Fetch<bool, QByteArray>("remembered", "content");
    WindowHarness h;
    const QString path = h.path("Sales.MDB");
    if (!content.isNull()) h.file("Sales.MDB", content);
    if (remembered) h.remember(path);
    const bool refused = !content.isEmpty();
    QVERIFY(h.start().isVisible());
    h.click(h.check());
    h.browseTo(QString());
    const OpenFileRequest& request = h.ui.openRequests.last();
    QCOMPARE(QStringList({request.DialogTitle, request.Filter, request.FileName}),
             QStringList({"Select Database", "Database Files (*.MDB)|*.MDB", refused ? path : ""}));
    const QString report =
        Report("opening the database", 3343, "Unrecognized database format '" + path + "'.");
    QCOMPARE(h.messages(), refused ? QStringList{report} : QStringList());
    QCOMPARE(QStringList({h.databaseCaption(), h.modeCaption(), h.actions(), h.remembered()}),
             QStringList({refused ? path : "", kSelectDatabase, refused ? "enabled" : "disabled",
                          remembered ? path : "<none>"}));
  }

  // A hard link to another database under the lock file's name: left as it is, nobody blamed.
  void lockFileLookAlikeIsLeftAlone() {
    WindowHarness h;
    const QString database = h.database("x.mdb");
    const QString lookAlike = h.path("x.ldb");
    std::filesystem::create_hard_link(ToLocalBytes(h.database("other.mdb")),
                                      ToLocalBytes(lookAlike));
    const QByteArray before = ReadBytes(ToLocalBytes(lookAlike));
    h.start();
    h.browseTo(database);
    QCOMPARE(h.messages(), QStringList());
    QCOMPARE(ReadBytes(ToLocalBytes(lookAlike)), before);
    QVERIFY(!h.current());
    QCOMPARE(h.databaseCaption(), database);
  }

  // A crash's lock file goes silently, a held one is warned about, an empty one stays.
  void reopensRememberedDatabase_data() {
    QTest::addColumn<QString>("lockFile");
    for (const char* lockFile :
         {"held", "stale", "empty", "held, window closed during the warning"})
      QTest::newRow(lockFile) << QString(lockFile);
  }
  void reopensRememberedDatabase() {
    QFETCH(QString, lockFile);
    const bool held = lockFile.startsWith("held"), closed = lockFile.contains("closed");
    WindowHarness h;
    const QString database = h.database("Sales 2024.mdb");
    const QString ldb = h.path("Sales 2024.ldb");
    OtherProcess other({"hold", ToLocalBytes(database), "--record"});
    QVERIFY(!other.line().empty());
    if (!held) other.stop(lockFile == "stale" ? SIGKILL : SIGTERM);
    if (lockFile == "empty") h.file("Sales 2024.ldb", {});
    // The inode an open descriptor holds has no name once the file is deleted.
    QFile evidence(ldb);
    QVERIFY(evidence.open(QIODevice::ReadOnly));
    h.remember(database);
    bool warnedOverWindowBeforeOpening = false;
    h.ui.onMessage = [&](const auto&) {
      warnedOverWindowBeforeOpening = h.window().isVisible() && !h.current();
      if (closed) h.window().close();
    };
    h.start();
    QCOMPARE(warnedOverWindowBeforeOpening, held);
    QCOMPARE(h.messages(), held ? QStringList{kLockFileWarning} : QStringList());
    QCOMPARE(QStringList({h.databaseCaption(), h.actions(), h.modeCaption()}),
             QStringList({database, "enabled",
                          closed ? kSelectDatabase
                          : held ? kRecordLevel
                                 : kPageLevel}));
    QCOMPARE(h.window().isVisible(), !closed);
    QCOMPARE(bool(h.current()), !closed);
    struct stat kept {};
    QCOMPARE(::fstat(evidence.handle(), &kept), 0);
    QCOMPARE(kept.st_nlink == 1, lockFile != "stale");
  }

  // The buttons follow whether the path names a non-empty file; special files never block.
  void browseToEachKindOfFile_data() {
    Columns<QString, QByteArray, QString>("name", "content", "actions");
    QTest::newRow("database") << "Ventes <b>été &amp; Co.mdb" << JetDatabaseBytes() << "enabled";
    QTest::newRow("database named *.ldb") << "Kept.ldb" << JetDatabaseBytes() << "enabled";
    QTest::newRow("not a database") << "notes.MDB" << QByteArray("meeting notes") << "enabled";
    QTest::newRow("FIFO, its lock file a FIFO too") << "fifo" << QByteArray() << "disabled";
    QTest::newRow("directory") << QDir::tempPath() << QByteArray() << "disabled";
  }
  void browseToEachKindOfFile() {
    const auto [name, content, actions] =
        Fetch<QString, QByteArray, QString>("name", "content", "actions");
    WindowHarness h;
    QString chosen = name;
    if (name == "fifo") {
      chosen = h.path("fifo.MDB");
      for (const char* fifo : {"fifo.MDB", "fifo.ldb"})
        QCOMPARE(::mkfifo(QFile::encodeName(h.path(fifo)), 0600), 0);
    } else if (!name.startsWith('/')) {
      chosen = h.file(name, content);
    }
    h.start();
    h.browseTo(h.database("Start.mdb"));
    const DatabasePtr previous = h.current();

    h.browseTo(chosen);
    h.click(h.check());  // does nothing without a database
    QCOMPARE(QStringList({h.databaseCaption(), h.remembered(), h.actions(), h.modeCaption()}),
             QStringList({chosen, chosen, actions, kPageLevel}));
    QCOMPARE(h.messages(), QStringList());
    QVERIFY(!previous->IsOpen());
    QCOMPARE(static_cast<bool>(h.current()), content == JetDatabaseBytes());
  }

  // Beside 254 others the window takes the last slot and Check still reads their mode.
  void checksBesideAFullLockFile() {
    WindowHarness h;
    const QString database = h.database();
    EngineCrowd others(ToLocalBytes(database), 254, "record");
    QVERIFY(others.ready());
    h.start();
    h.browseTo(database);
    h.click(h.check());
    QCOMPARE(QStringList({h.modeCaption(), h.messages().join('|')}),
             QStringList({kRecordLevel, kLockFileWarning}));
  }

  // A typed name opens, the warning is modal over the window, Cancel keeps the database.
  void realDialogs() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString held = h.database();
    OtherProcess other({"hold", ToLocalBytes(held)});
    QVERIFY(!other.line().empty());
    QStringList typed{held, QString()};  // null: Cancel
    QString warning;
    const QWidget* over = nullptr;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible()) return;
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (const QString name = typed.value(0); dialog && !name.isNull()) {
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(name);
        QMetaObject::invokeMethod(dialog, "accept");
      } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        // Shown as written, never as markup, under the program's title.
        if (box->icon() == QMessageBox::Warning && box->textFormat() == Qt::PlainText &&
            box->windowTitle() == "Quillet")
          warning = box->text();
        over = box->parentWidget();
      }
      if (dialog) typed.removeFirst();
      if (modal->isVisible()) modal->close();  // not accepted: the checks below fail
    });
    poll.start(20);
    h.start();
    h.click(h.browse());
    QCOMPARE(QStringList({h.databaseCaption(), warning, h.modeCaption()}),
             QStringList({held, kLockFileWarning, kPageLevel}));
    QCOMPARE(over, &h.window());
    h.click(h.browse());
    QCOMPARE(typed, QStringList());
    QCOMPARE(h.databaseCaption(), held);
    QVERIFY(h.current());
  }

  // The real program lets go of its files and exits 0 on a stop signal, from a box too.
  void realProgramEndsOnStopSignals_data() {
    // heldElsewhere: start-up shows its lock-file warning
    Columns<int, bool, bool>("signal", "heldElsewhere", "outputClosed");
    QTest::newRow("SIGINT") << SIGINT << false << false;
    QTest::newRow("SIGHUP") << SIGHUP << false << false;
    QTest::newRow("SIGTERM, output and error closed") << SIGTERM << false << true;
    QTest::newRow("SIGTERM during the warning") << SIGTERM << true << false;
  }
  void realProgramEndsOnStopSignals() {
    const auto [signal, heldElsewhere, outputClosed] =
        Fetch<int, bool, bool>("signal", "heldElsewhere", "outputClosed");
    WindowHarness h;
    const QString database = h.database();
    const QString lockFile = h.path("Sales.ldb"), config = h.path("config");
    RegistryStore::SetPath(ToLocalBytes(config + "/Oxtaro/Quillet/registry.sqlite3"));
    h.remember(database);
    std::optional<OtherProcess> other;
    if (heldElsewhere) other.emplace(std::vector<std::string>{"hold", ToLocalBytes(database)});
    if (other) QVERIFY(!other->line().empty());
    // Held elsewhere, the program opens the lock file only to find it held and warn: from then
    // on the next event loop to run, where a signal is handled, is the warning box's.
    const int opens = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const auto closeOpens = qScopeGuard([opens] { ::close(opens); });
    if (heldElsewhere)
      QVERIFY(::inotify_add_watch(opens, QFile::encodeName(lockFile), IN_OPEN) >= 0);

    QProcess quillet;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    quillet.setProcessEnvironment(environment);
    if (outputClosed) quillet.setChildProcessModifier([] { ::close(1), ::close(2); });
    quillet.start(qEnvironmentVariable("QUILLET"), {});
    QVERIFY2(quillet.waitForStarted(), "QUILLET names no program; run the tests through ctest");
    pollfd opened{opens, POLLIN, 0};
    if (heldElsewhere)
      QCOMPARE(::poll(&opened, 1, 10000), 1);
    else
      QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lockFile), 10000);  // the window holds the file
    QCOMPARE(::kill(static_cast<pid_t>(quillet.processId()), signal), 0);
    QVERIFY(quillet.waitForFinished(10000));
    QCOMPARE(quillet.exitStatus(), QProcess::NormalExit);
    QCOMPARE(quillet.exitCode(), 0);
    QCOMPARE(QFile::exists(lockFile), heldElsewhere);
    QCOMPARE(ReadBytes(ToLocalBytes(database)), JetDatabaseBytes());
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::WindowTest)
#include "WindowTest.moc"
