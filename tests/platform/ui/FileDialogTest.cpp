#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>

#include "ModalDriver.h"
#include "platform/ui/QtUiServices.h"
#include "support/Fixtures.h"

using namespace quillet;
using quillet::test::WhenModalAppears;

namespace {

const QString kFilter = QStringLiteral("Database Files (*.MDB)|*.MDB");

// What the user saw in the dialog when it came up.
struct Seen {
  bool appeared = false;
  QString title;
  QString filterShown;
  QString directory;
  QString nameTyped;
  QStringList listed;
  bool stillOpenAfterAccept = false;
  QString directoryAfterAccept;
};

// The names the dialog's list shows.
QStringList Listed(QFileDialog& dialog) {
  QStringList names;
  if (auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"))) {
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < view->model()->rowCount(root); ++row) {
      names.append(view->model()->index(row, 0, root).data().toString());
    }
  }
  names.sort();
  return names;
}

// The listing once the folder has been read (the dialog reads it in the background).
QStringList ListedOnceRead(QFileDialog& dialog, const QString& expectOne) {
  (void)QTest::qWaitFor([&] { return Listed(dialog).contains(expectOne); }, 5000);
  return Listed(dialog);
}

// Presses Open (accept() is a protected slot of QFileDialog).
void Accept(QFileDialog& dialog) {
  QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
}

void Look(QFileDialog& dialog, Seen& seen) {
  seen.appeared = true;
  seen.title = dialog.windowTitle();
  if (auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
    seen.filterShown = combo->currentText();
  }
  seen.directory = dialog.directory().absolutePath();
  if (auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
    seen.nameTyped = edit->text();
  }
}

// Types a name into the dialog and presses Open. When the dialog stays open (a folder
// was entered) it notes where it is and cancels, so that the test goes on.
void TypeAndOpen(QFileDialog& dialog, const QString& name, Seen& seen) {
  auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (edit == nullptr) return;
  // As a user does: once the folder is shown, with the focus in the name box (where
  // typing replaces the preselected file rather than adding to it).
  (void)QTest::qWaitFor([&] { return !Listed(dialog).isEmpty(); }, 5000);
  dialog.activateWindow();
  edit->setFocus();
  (void)QTest::qWaitFor([edit] { return edit->hasFocus(); }, 5000);
  edit->setText(name);
  Accept(dialog);
  if (dialog.isVisible()) {
    seen.stillOpenAfterAccept = true;
    seen.directoryAfterAccept = dialog.directory().absolutePath();
  }
}

using Act = std::function<void(QFileDialog&, Seen&)>;

// Shows the real dialog through the services and plays the user with `act`.
Status ShowOpenAndAct(OpenFileRequest& request, Seen& seen, const Act& act) {
  WhenModalAppears([&seen, act](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (dialog == nullptr) {
      if (modal != nullptr) modal->close();
      return;
    }
    Look(*dialog, seen);
    act(*dialog, seen);
    if (dialog->isVisible()) dialog->reject();
  });
  QtUiServices ui;
  return ui.ShowOpen(request);
}

OpenFileRequest DatabaseRequest(const QString& fileName = QString()) {
  OpenFileRequest request;
  request.DialogTitle = QStringLiteral("Select Database");
  request.Filter = kFilter;
  request.FileName = fileName;
  request.CancelError = true;
  return request;
}

}  // namespace

class FileDialogTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QString folder_;

  QString path(const QString& name) const { return QDir(folder_).filePath(name); }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    folder_ = QDir(dir_.path()).filePath(QStringLiteral("shared dbs"));  // a space on purpose
    QVERIFY(QDir().mkpath(folder_));
    for (const char* name : {"sales.mdb", "Sales.Mdb", "SALES.MDB"}) {
      test::WriteJetDatabase(folder_, QString::fromLatin1(name));
    }
    test::WriteFile(folder_, QStringLiteral("sales.txt"), "not a database");
    test::WriteFile(folder_, QStringLiteral("sales.mdb.bak"), "old copy");
    QVERIFY(QDir(folder_).mkdir(QStringLiteral("archive")));
    QVERIFY(QDir(folder_).mkdir(QStringLiteral("old.mdb")));  // a folder named like a database
    QCOMPARE(mkfifo(QFile::encodeName(path(QStringLiteral("pipe.mdb"))).constData(), 0600), 0);
  }

  void listsDatabasesWhateverTheirCase() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(QStringLiteral("sales.mdb")));
    const Status status = ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen& s) {
      s.listed = ListedOnceRead(dialog, QStringLiteral("Sales.Mdb"));
      dialog.reject();
    });

    QVERIFY(seen.appeared);
    QCOMPARE(seen.title, QStringLiteral("Select Database"));
    QCOMPARE(seen.filterShown, QStringLiteral("Database Files (*.MDB)"));
    // Folders are listed whatever their names; FIFOs and devices are not (they can
    // still be typed).
    QCOMPARE(seen.listed,
             (QStringList{"SALES.MDB", "Sales.Mdb", "archive", "old.mdb", "sales.mdb"}));
    QCOMPARE(status.number(), cdlCancel);
  }

  void cancelIsReportedAsAFailure() {
    Seen seen;
    const QString initial = path(QStringLiteral("sales.mdb"));
    OpenFileRequest request = DatabaseRequest(initial);
    const Status status =
        ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen&) { dialog.reject(); });
    QVERIFY(seen.appeared);
    QCOMPARE(status.number(), cdlCancel);
    QCOMPARE(status.number(), 32755);
    QCOMPARE(status.description(), std::string("Cancel was selected."));
    QCOMPARE(request.FileName, initial);
  }

  void cancelWithoutCancelErrorGivesNoName() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(QStringLiteral("sales.mdb")));
    request.CancelError = false;
    const Status status =
        ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen&) { dialog.reject(); });
    QVERIFY(seen.appeared);
    QVERIFY(status.ok());
    QVERIFY(request.FileName.isEmpty());
  }

  void initialNameIsSelectedInItsFolder() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(QStringLiteral("Sales.Mdb")));
    const Status status = ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen&) {
      Accept(dialog);  // Open, with what was preselected
    });
    QVERIFY(seen.appeared);
    QCOMPARE(seen.directory, folder_);
    QCOMPARE(seen.nameTyped, QStringLiteral("Sales.Mdb"));
    QVERIFY(status.ok());
    QCOMPARE(request.FileName, path(QStringLiteral("Sales.Mdb")));
  }

  void initialFolderIsOpened() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(folder_);
    ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen&) { dialog.reject(); });
    QVERIFY(seen.appeared);
    QCOMPARE(seen.directory, folder_);
    QVERIFY(seen.nameTyped.isEmpty());
  }

  // A remembered path whose folder has gone: the name is offered, nothing breaks.
  void initialNameInAMissingFolder() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(QStringLiteral("gone/orders.mdb")));
    ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen&) { dialog.reject(); });
    QVERIFY(seen.appeared);
    QCOMPARE(seen.nameTyped, QStringLiteral("orders.mdb"));
    QVERIFY(QDir(seen.directory).exists());
  }

  void typedNameIsReturnedAsAFullPath() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(QStringLiteral("sales.mdb")));
    const Status status = ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen& s) {
      TypeAndOpen(dialog, QStringLiteral("SALES.MDB"), s);
    });
    QVERIFY(status.ok());
    QCOMPARE(request.FileName, path(QStringLiteral("SALES.MDB")));
  }

  // A folder typed and confirmed is entered, even one named like a database.
  void typedFolderIsEnteredNotReturned() {
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(QStringLiteral("sales.mdb")));
    const Status status = ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen& s) {
      TypeAndOpen(dialog, QStringLiteral("old.mdb"), s);
    });
    QVERIFY(seen.stillOpenAfterAccept);
    QCOMPARE(seen.directoryAfterAccept, path(QStringLiteral("old.mdb")));
    QCOMPARE(status.number(), cdlCancel);
  }

  // Picking a FIFO or a device returns its path without the dialog ever opening it (an
  // open of a FIFO with no writer would block for good).
  void specialFilesArePickedWithoutBlocking_data() {
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("fifo typed") << QStringLiteral("sales.mdb") << QStringLiteral("pipe.mdb")
                                << QStringLiteral("pipe.mdb");
    QTest::newRow("fifo preselected")
        << QStringLiteral("pipe.mdb") << QString() << QStringLiteral("pipe.mdb");
    QTest::newRow("device typed") << QStringLiteral("sales.mdb") << QStringLiteral("/dev/null")
                                  << QStringLiteral("/dev/null");
  }
  void specialFilesArePickedWithoutBlocking() {
    QFETCH(QString, initial);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    Seen seen;
    OpenFileRequest request = DatabaseRequest(path(initial));
    const Status status = ShowOpenAndAct(request, seen, [typed](QFileDialog& dialog, Seen& s) {
      if (typed.isEmpty())
        Accept(dialog);
      else
        TypeAndOpen(dialog, typed, s);
    });
    QVERIFY(seen.appeared);
    QVERIFY(status.ok());
    QCOMPARE(request.FileName, expected.startsWith(u'/') ? expected : path(expected));
  }

  // The dialog lists a folder without opening the files in it: on a network share,
  // reading every file to choose its icon is slow, and a FIFO would block.
  void listingOpensNoFile() {
    QTemporaryDir watched;
    QVERIFY(watched.isValid());
    test::WriteJetDatabase(watched.path(), QStringLiteral("orders.mdb"));
    test::WriteFile(watched.path(), QStringLiteral("ORDERS.MDB"), "no header at all");
    test::WriteFile(watched.path(), QStringLiteral("notes"), "text without an extension");
    test::WriteFile(watched.path(), QStringLiteral("blob.xyz"), QByteArray(4096, '\x7f'));

    const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(inotify >= 0);
    const auto closeInotify = qScopeGuard([inotify] { ::close(inotify); });
    QVERIFY(inotify_add_watch(inotify, QFile::encodeName(watched.path()).constData(),
                              IN_OPEN | IN_ACCESS) >= 0);

    Seen seen;
    OpenFileRequest request = DatabaseRequest(QDir(watched.path()).filePath("orders.mdb"));
    request.Filter = QStringLiteral("All Files|*.*;*");
    ShowOpenAndAct(request, seen, [](QFileDialog& dialog, Seen& s) {
      s.listed = ListedOnceRead(dialog, QStringLiteral("notes"));
      // Both views show icons and types; make each paint once.
      for (const char* mode : {"listModeButton", "detailModeButton"}) {
        if (auto* button = dialog.findChild<QAbstractButton*>(QString::fromLatin1(mode))) {
          button->click();
        }
        dialog.grab();
        QTest::qWait(300);
      }
      dialog.reject();
    });
    QVERIFY(seen.listed.contains(QStringLiteral("blob.xyz")));

    QStringList opened;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t size = ::read(inotify, buffer, sizeof buffer);
      if (size <= 0) break;
      for (char* at = buffer; at < buffer + size;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && !(event->mask & IN_ISDIR))
          opened.append(QString::fromUtf8(event->name));
        at += sizeof(inotify_event) + event->len;
      }
    }
    QVERIFY2(opened.isEmpty(), qPrintable(opened.join(u',')));
  }
};

QTEST_MAIN(FileDialogTest)
#include "FileDialogTest.moc"
