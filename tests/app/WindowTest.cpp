// The window on the real engine and settings store: its design and keyboard, start-up,
// Browse and Check, with quilletctl processes as the other workstations.

#include <sys/stat.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>

#include "WindowHarness.h"
#include "platform/ui/QtUiServices.h"

namespace quillet::test {

inline QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The design in twips, 15 to a device-independent pixel: the client area, then the controls.
const struct {
  const char* name;
  int left, top, width, height;
} kDesign[] = {
    {"frmDatabaseLocking", 0, 0, 6810, 1275},   {"lblDatabase", 1200, 60, 4695, 315},
    {"cmdBrowse", 5940, 60, 375, 375},          {"cmdCheckLocking", 6360, 60, 375, 375},
    {"lblDatabaseLockingMode", 1200, 480, 4695, 255}, {"cmdChangeLocking", 1200, 840, 4695, 315},
};

// The label "Database File:" within its designed 1020 twips.
static bool FitsDesign(const QFont& font) {
  return QFontMetrics(font).horizontalAdvance(QStringLiteral("Database File:")) <= 68;
}

// A missing resource renders nothing.
static bool HasInk(const QIcon& icon, int size) {
  const QImage image = icon.pixmap(size).toImage();
  QImage blank(image);
  blank.fill(Qt::transparent);
  return image.size() == QSize(size, size) && image != blank;
}

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void geometryAndFrame() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    const auto px = [](int twips) { return qRound(twips / 15.0); };
    for (const auto& c : kDesign) {
      const QRect designed(QPoint(px(c.left), px(c.top)),
                           QPoint(px(c.left + c.width) - 1, px(c.top + c.height) - 1));
      QWidget* widget = window.findChild<QWidget*>(QLatin1String(c.name));  // none: the window
      QCOMPARE(widget != nullptr ? widget->geometry() : window.rect(), designed);
    }
    const QLabel* desc = window.findChild<QLabel*>(QStringLiteral("lblDatabaseDesc"));
    QCOMPARE(desc->pos(), QPoint(8, 4));
    QCOMPARE(window.windowTitle(), QStringLiteral("Database Locking"));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint),
             Qt::WindowCloseButtonHint);
    for (int size : {16, 32, 48}) QVERIFY(HasInk(window.windowIcon(), size));
    QVERIFY(HasInk(h.browse()->icon(), 16) && HasInk(h.check()->icon(), 16));
    QCOMPARE(h.change()->text(), QStringLiteral("Change to \"Record Level Locking\""));
    CaptionLabel* mode = h.label("lblDatabaseLockingMode");
    QVERIFY(mode->alignment().testFlag(Qt::AlignHCenter));
    // At the program's font the texts keep the room the design gave them.
    QVERIFY(desc->geometry().right() < h.label("lblDatabase")->x());
    for (const QString& text : {kPageLevel, kRecordLevel}) {
      QVERIFY(mode->fontMetrics().horizontalAdvance(text) <= mode->contentsRect().width());
    }
  }

  // Only the size changes: a font that fits is kept, a wide one shrinks by quarter points to
  // the largest size that fits, but not below 7 points.
  void fontFittingDesign() {
    for (const auto& [pointSize, spacing] : {std::pair{6.0, 0.0}, {14.0, 0.0}, {14.0, 20.0}}) {
      QFont font = QApplication::font();
      font.setPointSizeF(pointSize);
      font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
      const QFont fitted = FontFittingDesign(font);
      QFont resized = font;
      resized.setPointSizeF(fitted.pointSizeF());
      QCOMPARE(fitted, resized);
      if (FitsDesign(font)) {
        QCOMPARE(fitted.pointSizeF(), pointSize);
        continue;
      }
      QVERIFY(fitted.pointSizeF() >= 7.0);
      QVERIFY(FitsDesign(fitted) || fitted.pointSizeF() == 7.0);
      resized.setPointSizeF(fitted.pointSizeF() + 0.25);
      QVERIFY(!FitsDesign(resized));
    }
  }

  // Tab goes browse -> check -> change, skipping the labels; Enter presses no default button.
  void keyboard() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    h.browseTo(h.database());
    h.browse()->setFocus();
    for (QPushButton* next : {h.check(), h.change(), h.browse()}) {
      QTest::keyClick(&window, Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(h.browse(), Qt::Key_Return);
    QCOMPARE(h.ui.openRequests.size(), 1);
  }

  // Nothing usable to open at start-up; Check and a cancelled Browse then change nothing. A
  // refused file is reported in the engine's words and stays shown; a gone path is kept.
  void startsWithoutDatabase_data() {
    QTest::addColumn<bool>("remembered");
    QTest::addColumn<QByteArray>("content");  // null: no file
    QTest::newRow("first start") << false << QByteArray();
    QTest::newRow("remembered file deleted") << true << QByteArray();
    QTest::newRow("remembered file truncated") << true << QByteArray("");
    QTest::newRow("remembered file refused") << true << QByteArray("Not a database.\n");
  }
  void startsWithoutDatabase() {
    QFETCH(bool, remembered);
    QFETCH(QByteArray, content);
    WindowHarness h;
    const QString path = h.path(QStringLiteral("Sales.MDB"));
    if (!content.isNull()) h.file(QStringLiteral("Sales.MDB"), content);
    if (remembered) h.remember(path);
    DatabasePtr ignored;
    const Status refusal = DBEngine::Instance().OpenDatabase(ToLocalBytes(path), &ignored);
    QVERIFY(!refusal.ok());
    const bool refused = !content.isEmpty();

    QVERIFY(h.start().isVisible());
    h.click(h.check());
    h.browseTo(QString());
    const OpenFileRequest& request = h.ui.openRequests.last();
    QCOMPARE(request.DialogTitle, QStringLiteral("Select Database"));
    QCOMPARE(request.Filter, QStringLiteral("Database Files (*.MDB)|*.MDB"));
    QCOMPARE(request.FileName, refused ? path : QString());
    const QString report = Report(QStringLiteral("opening the database"), refusal);
    QCOMPARE(h.messages(), refused ? QStringList{report} : QStringList());
    QCOMPARE(h.databaseCaption(), refused ? path : QString());
    QCOMPARE(h.modeCaption(), kSelectDatabase);
    QCOMPARE(h.actions(), refused ? QStringLiteral("enabled") : QStringLiteral("disabled"));
    QCOMPARE(h.remembered(), remembered ? path : QStringLiteral("<none>"));
  }

  // The remembered database is reopened. Its lock file is deleted silently when a crash left
  // it, reported when another workstation holds it, and left alone when empty.
  // Under the lock file's name sits somebody's data (another database, a second name of
  // one): the window's open step leaves it byte for byte and blames no other program; the
  // engine then refuses to use it as a lock file.
  void lockFileLookAlikesAreLeftAlone_data() {
    QTest::addColumn<bool>("hardLink");
    QTest::newRow("another database") << false;
    QTest::newRow("hard link to another database") << true;
  }
  void lockFileLookAlikesAreLeftAlone() {
    QFETCH(bool, hardLink);
    WindowHarness h;
    const QString database = h.database(QStringLiteral("x.mdb"));
    const QString lookAlike = h.path(QStringLiteral("x.ldb"));
    if (hardLink) {
      std::filesystem::create_hard_link(ToLocalBytes(h.database(QStringLiteral("other.mdb"))), ToLocalBytes(lookAlike));
    } else {
      h.database(QStringLiteral("x.ldb"));
    }
    const QByteArray before = ReadFile(lookAlike);
    h.start();
    h.browseTo(database);
    QCOMPARE(h.messages(), QStringList());
    QCOMPARE(ReadFile(lookAlike), before);
    QVERIFY(!h.current());
    QCOMPARE(h.databaseCaption(), database);
  }

  void reopensRememberedDatabase_data() {
    QTest::addColumn<QString>("lockFile");
    QTest::newRow("held elsewhere") << "held";
    QTest::newRow("stale") << "stale";
    QTest::newRow("empty") << "empty";
  }
  void reopensRememberedDatabase() {
    QFETCH(QString, lockFile);
    WindowHarness h;
    const QString database = h.database(QStringLiteral("Sales 2024.mdb"));
    const QString ldb = h.path(QStringLiteral("Sales 2024.ldb"));
    OtherProcess other({"hold", ToLocalBytes(database), "--record"});
    QVERIFY(!other.line().empty());
    // A killed holder cannot clean up after itself.
    if (lockFile != "held") other.stop(lockFile == "stale" ? SIGKILL : SIGTERM);
    if (lockFile == "empty") h.file(QStringLiteral("Sales 2024.ldb"), {});
    // An open descriptor tells a kept file from one made anew: the inode it holds has no
    // name any more once the file was deleted. (A second name would make it no lock file.)
    QFile evidence(ldb);
    QVERIFY(evidence.open(QIODevice::ReadOnly));
    h.remember(database);
    bool warnedOverWindowBeforeOpening = false;
    h.ui.onMessage = [&](const RecordingUi::Message&) {
      warnedOverWindowBeforeOpening = h.window().isVisible() && !h.current();
    };

    h.start();
    const bool held = lockFile == "held";
    QCOMPARE(warnedOverWindowBeforeOpening, held);
    QCOMPARE(h.messages(), held ? QStringList{kLockFileWarning} : QStringList());
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.actions(), QStringLiteral("enabled"));
    struct stat kept {};
    QCOMPARE(::fstat(evidence.handle(), &kept), 0);
    QCOMPARE(kept.st_nlink == 1, lockFile != "stale");
    // The crashed session's record-level mode went with it.
    QCOMPARE(h.modeCaption(), held ? kRecordLevel : kPageLevel);
  }

  // Cancel keeps the open database, the dialog starting on its name. Picking it again
  // reopens it in a new session; Check then tells when the file has gone.
  void browseAgainAndCheck() {
    WindowHarness h;
    const QString database = h.database();
    OtherProcess other({"hold", ToLocalBytes(database), "--record"});
    QVERIFY(!other.line().empty());
    h.start();
    h.browseTo(database);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    const DatabasePtr first = h.current();

    h.browseTo(QString());
    QCOMPARE(h.ui.openRequests.last().FileName, database);
    QCOMPARE(h.current(), first);
    QCOMPARE(h.databaseCaption(), database);

    QCOMPARE(other.stop(), 0);
    h.browseTo(database);
    QVERIFY(h.current() && !first->IsOpen());
    QCOMPARE(h.modeCaption(), kPageLevel);

    QVERIFY(QFile::remove(database));
    h.click(h.check());
    QCOMPARE(h.modeCaption(), QStringLiteral(
        "Information: The type of locking the database is using cannot be found."));
    // One warning, for the other's lock file: ours went when the window let go first.
    QCOMPARE(h.messages(), QStringList{kLockFileWarning});
  }

  // The buttons follow whether the shown path names a non-empty file, not whether it opened.
  // A refused file is shown and remembered silently, the previous database let go, the mode
  // line kept; special files must not block; a database named *.ldb is never deleted.
  void browseToEachKindOfFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("actions");
    QTest::newRow("database") << "Ventes <b>été &amp; Co.mdb" << JetDatabaseBytes() << "enabled";
    QTest::newRow("database named *.ldb") << "Kept.ldb" << JetDatabaseBytes() << "enabled";
    QTest::newRow("not a database") << "notes.MDB" << QByteArray("meeting notes") << "enabled";
    QTest::newRow("FIFO, its lock file a FIFO too") << "fifo" << QByteArray() << "disabled";
    QTest::newRow("directory") << "/tmp" << QByteArray() << "disabled";
    QTest::newRow("device") << "/dev/zero" << QByteArray() << "disabled";
  }
  void browseToEachKindOfFile() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, actions);
    WindowHarness h;
    QString chosen = name;
    if (name == "fifo") {
      chosen = h.path(QStringLiteral("fifo.MDB"));
      for (const char* fifo : {"fifo.MDB", "fifo.ldb"})
        QCOMPARE(::mkfifo(QFile::encodeName(h.path(fifo)).constData(), 0600), 0);
    } else if (!name.startsWith('/')) {
      chosen = h.file(name, content);
    }
    h.start();
    h.browseTo(h.database(QStringLiteral("Start.mdb")));
    const DatabasePtr previous = h.current();

    h.browseTo(chosen);
    h.click(h.check());  // does nothing without a database
    QVERIFY(h.ui.messages.isEmpty());
    QCOMPARE(h.databaseCaption(), chosen);
    QCOMPARE(h.remembered(), chosen);
    QCOMPARE(h.actions(), actions);
    QVERIFY(!previous->IsOpen());
    QCOMPARE(h.modeCaption(), kPageLevel);
    QCOMPARE(static_cast<bool>(h.current()), content == JetDatabaseBytes());
  }

  // The real dialogs, closed from a timer: a name typed into the file dialog is opened, and
  // the warning about its lock file is a modal box over the window.
  void realDialogs() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString held = h.database();
    OtherProcess other({"hold", ToLocalBytes(held)});
    QVERIFY(!other.line().empty());
    QString warning;
    QWidget* over = nullptr;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible()) return;
      if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(held);
        QMetaObject::invokeMethod(dialog, "accept");
      } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (box->icon() == QMessageBox::Warning) warning = box->text();
        over = box->parentWidget();
      }
      if (modal->isVisible()) modal->close();  // not accepted: the checks below fail
    });
    poll.start(20);
    h.start();
    h.click(h.browse());
    QCOMPARE(h.databaseCaption(), held);
    QCOMPARE(warning, kLockFileWarning);
    QCOMPARE(over, &h.window());
    QCOMPARE(h.modeCaption(), kPageLevel);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::WindowTest)
#include "WindowTest.moc"
