// The change to record level; every change waits two seconds, so each case checks much.

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QFileInfo>
#include <QTimer>
#include <optional>

#include "WindowHarness.h"
#include "platform/engine/SambaServing.h"

namespace quillet::test {

const QString kChanged =
    "Your database has successfully been changed to Record Level Locking\n\nHowever, this will "
    "only 'stick' until the database is closed on all workstations at which point it will "
    "revert to Page Level Locking.";
const QString kNotChanged =
    "Your database could not be changed to Record Level Locking!\n\nYou should check that the "
    "database was closed on all workstations before attempting to change the locking again.";
const QString kAlready = "Your database is already using Record Level Locking";

// Who decides the mode while the window tries to change it.
enum Other { kPageWorkstation, kOtherEngine, kThroughClientMount, kOnHidingSambaShare };

class ChangeTest : public QObject {
  Q_OBJECT
  QList<QWidget*> before_;

 private slots:
  void initTestCase() { before_ = TopLevelWidgets(); }
  void cleanup() { QCOMPARE(LeftBehind(before_), QString()); }

  // Under the hourglass, record level until the window closes it; a second change finds it done.
  void changesWhenNobodyElseHasItOpen() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    h.browseTo(h.file("Sales.mdb", "not yet\n"));
    const QString database = h.database();
    int pointerDuringWait = -1;
    QTimer::singleShot(500, &window, [&] { pointerDuringWait = h.ui.MousePointer(window); });
    QString modeDuringMessage;
    h.ui.onMessage = [&](const auto&) { modeDuringMessage = h.modeCaption(); };
    QElapsedTimer elapsed;
    elapsed.start();

    h.click(h.change());
    QVERIFY(elapsed.elapsed() >= 1900);
    QCOMPARE(pointerDuringWait, vbHourglass);
    QCOMPARE(h.messages(), QStringList{kChanged});
    QCOMPARE(h.ui.messages[0].icon, vbInformation);
    QCOMPARE(QStringList({modeDuringMessage, h.modeCaption(), CheckFromAnotherProcess(database)}),
             QStringList({kSelectDatabase, kRecordLevel, kRecordLevel}));
    QCOMPARE(h.ui.MousePointer(window), vbDefault);

    const Database* changed = h.current().get();
    h.click(h.change());
    QCOMPARE(h.messages(), QStringList({kChanged, kAlready}));
    QCOMPARE(h.current().get(), changed);  // nothing closed or reopened
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    window.close();
    QCOMPARE(CheckFromAnotherProcess(database), kPageLevel);
  }

  // Another engine's gone, our own mode shows again; through a client mount, or on a Samba
  // share that keeps its clients' locks to itself, a record-level workstation is invisible:
  // nothing claimed, its lock file left, the tooltip says why.
  void failsWhileAnotherWorkstationDecides_data() {
    Rows<int>("other", {{"page-level workstation", int(kPageWorkstation)},
                        {"another engine", int(kOtherEngine)},
                        {"through a client mount", int(kThroughClientMount)},
                        {"on a Samba share hiding locks", int(kOnHidingSambaShare)}});
  }
  void failsWhileAnotherWorkstationDecides() {
    QFETCH(int, other);
    if (other == kThroughClientMount && !FuseView::Possible()) QSKIP("no /dev/fuse here");
    WindowHarness h;
    const QString database = h.database();
    std::optional<OtherProcess> workstation;
    std::optional<ForeignPeer> windows;
    std::optional<FuseView> view;
    QString opened = database;
    if (other == kOtherEngine) {
      windows.emplace(
          QStringList{h.path(QStringLiteral("Sales.ldb")), "0", "WS-ACCOUNTS", "clerk", "ofd"});
      QVERIFY(windows->ready());
    } else {
      const char* mode = other == kPageWorkstation ? "--page" : "--record";
      workstation.emplace(std::vector<std::string>{"hold", ToLocalBytes(database), mode});
      QVERIFY(!workstation->line().empty());
    }
    if (other == kThroughClientMount) {
      view.emplace(ToLocalBytes(QFileInfo(database).path()));
      QVERIFY(view->mounted());
      opened = QString::fromStdString(view->file("Sales.mdb"));
    }
    // The window's engine is told that Samba's share [data] serves the folder with posix
    // locking = no, and has no table of Samba's to read.
    const auto sambaSaysNothing = qScopeGuard([] { SetSambaServingSource({}); });
    if (other == kOnHidingSambaShare) {
      SetSambaServingSource([](const std::string&) {
        return SambaServing{true, {}, {{"data", "/srv/data", true, {kSambaPosixLockingOff}}}, {}};
      });
    }
    const QByteArray lockFile = ReadBytes(ToLocalBytes(h.path(QStringLiteral("Sales.ldb"))));
    h.start();
    h.browseTo(opened);
    const QString shown = other == kPageWorkstation ? kPageLevel : kCannotBeFound;
    QCOMPARE(h.modeCaption(), shown);

    h.click(h.change());
    QCOMPARE(h.messages(), QStringList({kLockFileWarning, kNotChanged}));
    QCOMPARE(h.ui.messages[1].icon, vbExclamation);
    QCOMPARE(h.modeCaption(), shown);
    const QString tooltip = h.label("lblDatabaseLockingMode")->toolTip();
    if (view) {
      QVERIFY2(tooltip.contains("'" + FindmntType(view->mountPoint()) + "'"), qPrintable(tooltip));
      QVERIFY2(tooltip.contains("Run Quillet on the file server."), qPrintable(tooltip));
    } else if (other == kOnHidingSambaShare) {
      QVERIFY2(tooltip.startsWith("The folder is served by Samba's share 'data', which has posix "
                                  "locking = no: Windows clients' locks there do not reach Linux"),
               qPrintable(tooltip));
    }
    if (view || other == kOnHidingSambaShare) {
      QCOMPARE(ReadBytes(ToLocalBytes(h.path(QStringLiteral("Sales.ldb")))), lockFile);
      QCOMPARE(CheckFromAnotherProcess(database), kRecordLevel);
    } else {
      QCOMPARE(tooltip, QString());
    }
    if (other == kOtherEngine) {
      windows.reset();
      h.click(h.check());
      QCOMPARE(h.modeCaption(), kRecordLevel);
    }
  }

  // Reported, pointer put back: an exclusive open elsewhere mid-wait, a handle closed behind us.
  void failingStepsAreReported_data() {
    Rows<bool>("exclusiveElsewhere",
               {{"exclusive open elsewhere", true}, {"handle already closed", false}});
  }
  void failingStepsAreReported() {
    QFETCH(bool, exclusiveElsewhere);
    WindowHarness h;
    const QString database = h.database();
    h.start();
    h.browseTo(database);
    std::optional<OtherProcess> other;
    QTimer::singleShot(100, &h.window(), [&] {
      if (!exclusiveElsewhere) return;
      other.emplace(std::vector<std::string>{"hold", ToLocalBytes(database), "--exclusive"});
      QVERIFY(!other->line().empty());
    });
    if (!exclusiveElsewhere) QVERIFY(h.current()->Close().ok());

    h.click(h.change());
    QCOMPARE(h.messages(),
             QStringList{
                 exclusiveElsewhere
                     ? Report("opening the database (ADO)", -2147467259,
                              "Could not use '" + database + "'; file already in use.")
                     : Report("closing the database", 3420, "Object invalid or no longer set.")});
    QCOMPARE(h.ui.messages[0].icon, vbExclamation);
    QVERIFY(!h.current());
    QCOMPARE(h.ui.MousePointer(h.window()), vbDefault);
    QCOMPARE(h.modeCaption(), kPageLevel);
  }

  // Check, Browse and a second change run whole inside the wait; then the first goes on.
  void clicksDuringTheWait() {
    WindowHarness h;
    const QString second = h.database("Second.mdb");
    frmDatabaseLocking& window = h.start();
    h.browseTo(h.database("First.mdb"));
    QString modeAfterNestedCheck;
    QTimer::singleShot(300, &window,
                       [&] { h.click(h.check()), modeAfterNestedCheck = h.modeCaption(); });
    QTimer::singleShot(600, &window, [&] { h.browseTo(second); });
    QTimer::singleShot(900, &window, [&] { h.click(h.change()); });

    h.click(h.change());
    QCOMPARE(h.messages(), QStringList({kChanged, kChanged}));
    QCOMPARE(QStringList({modeAfterNestedCheck, QString::fromStdString(h.current()->Name()),
                          h.modeCaption()}),
             QStringList({kPageLevel, second, kRecordLevel}));
    QCOMPARE(h.ui.MousePointer(window), vbDefault);
    window.close();
    QVERIFY(!QFile::exists(h.path("Second.ldb")));
  }

  // Closing during the wait ends the program quietly, nothing left open. Last: it runs the loop.
  void closingDuringTheWaitEndsTheProgram() {
    WindowHarness h;
    const QString database = h.database();
    h.remember(database);
    h.start();
    bool changeReturned = false;
    QTimer::singleShot(0, [&] { h.click(h.change()), changeReturned = true; });
    QTimer::singleShot(200, [&] { h.browseTo(h.database("Other.mdb")); });
    QTimer::singleShot(500, [&] { h.window().close(); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });  // the loop never ended

    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(changeReturned);
    QCOMPARE(h.messages(), QStringList());
    QVERIFY(!h.current());
    QVERIFY(!QFile::exists(h.path("Sales.ldb")));
    QVERIFY(!QFile::exists(h.path("Other.ldb")));
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::ChangeTest)
#include "ChangeTest.moc"
