// The real Qt services: the pointers and the file dialog, a timer playing the user. The
// message box is checked over the window (WindowTest realDialogs).

#include <sys/stat.h>

#include <QDir>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/ui/QtUiServices.h"
#include "support/Fixtures.h"

using namespace quillet;

namespace {

// Runs `show`, which brings up a real modal dialog, while a timer plays the user: `act` gets
// the dialog, and whatever it leaves open is closed. It records instead of asserting (a
// failed check would return with the dialog still open); the test checks the record after.
template <typename Show>
auto WithModal(const std::function<void(QWidget*)>& act, Show show) {
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    poll.stop();
    act(modal);
    if (modal->isVisible()) modal->close();
  });
  poll.start(10);
  return show();
}

Qt::CursorShape ScreenCursor() {
  return QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape()
                                           : Qt::BlankCursor;
}

}  // namespace

class UiServicesTest : public QObject {
  Q_OBJECT
  QtUiServices ui_;
  QTemporaryDir dir_;
  QString folder_;

 private slots:
  void initTestCase() {
    folder_ = dir_.filePath("shared dbs");  // a space on purpose
    QVERIFY(QDir().mkpath(folder_));
    for (const char* name : {"sales.mdb", "Sales.Mdb", "sales.txt"})
      test::WriteFile(folder_, name, "not read");
    // Opening a FIFO with no writer blocks: the dialog must list and pick without opening it.
    QCOMPARE(mkfifo(QFile::encodeName(folder_ + "/pipe.mdb").constData(), 0600), 0);
  }

  // The screen pointer is assigned, not stacked; an override set by someone else stays.
  void pointers() {
    QWidget window;
    ui_.SetMousePointer(window, vbHourglass);
    QCOMPARE(window.cursor().shape(), Qt::WaitCursor);
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);
    for (int i = 0; i < 3; ++i) ui_.SetScreenMousePointer(vbHourglass);
    QCOMPARE(ScreenCursor(), Qt::WaitCursor);
    ui_.SetScreenMousePointer(vbDefault);
    QCOMPARE(ScreenCursor(), Qt::CrossCursor);
    QGuiApplication::restoreOverrideCursor();
    QCOMPARE(ScreenCursor(), Qt::BlankCursor);
  }

  // Databases are listed whatever their extension's case; a FIFO is picked without blocking;
  // Cancel fails only when asked to, and never reads as a choice.
  void fileDialog_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("cancelError");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("open a FIFO") << "pipe.mdb" << true << true << 0 << "pipe.mdb";
    QTest::newRow("cancel error") << "sales.mdb" << false << true << int(cdlCancel) << "sales.mdb";
    QTest::newRow("cancel, no error") << "sales.mdb" << false << false << 0 << "";
  }
  void fileDialog() {
    QFETCH(QString, name);
    QFETCH(bool, accept);
    QFETCH(bool, cancelError);
    QFETCH(int, number);
    QFETCH(QString, chosen);
    OpenFileRequest request{"Select Database", "Database Files (*.MDB)|*.MDB",
                            QDir(folder_).filePath(name), cancelError};
    QStringList seen;  // the title, then the names listed
    const Status status = WithModal(
        [&](QWidget* modal) {
          seen << modal->windowTitle();
          auto* view = modal->findChild<QListView*>(QStringLiteral("listView"));
          if (view == nullptr) return;
          const auto listed = [view] {  // all but a preselected FIFO, which shows too
            QStringList names;
            for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
              names << view->model()->index(row, 0, view->rootIndex()).data().toString();
            names.sort();
            return names.filter(QStringLiteral("sales"), Qt::CaseInsensitive);
          };
          // The dialog reads the folder in the background.
          (void)QTest::qWaitFor([&] { return listed().size() >= 2; });
          seen << listed();
          if (accept) QMetaObject::invokeMethod(modal, "accept", Qt::DirectConnection);
        },
        [&] { return ui_.ShowOpen(request); });
    QCOMPARE(seen, QStringList({"Select Database", "Sales.Mdb", "sales.mdb"}));
    QCOMPARE(status.number(), number);
    QCOMPARE(request.FileName, chosen.isEmpty() ? QString() : QDir(folder_).filePath(chosen));
  }
};

QTEST_MAIN(UiServicesTest)
#include "UiServicesTest.moc"
