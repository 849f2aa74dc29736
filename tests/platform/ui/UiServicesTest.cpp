// The real Qt services: the pointers, the message box and the file dialog, a timer playing the
// user.

#include <sys/stat.h>

#include <QAbstractButton>
#include <QDir>
#include <QListView>
#include <QMessageBox>
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

  // The hourglass is what the user sees. The screen pointer is assigned, not stacked: one
  // default ends any number of hourglasses, and an override set by someone else stays.
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

  void messageBox_data() {
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("shownIcon");
    QTest::addColumn<QString>("text");
    QTest::newRow("information") << vbInformation << int(QMessageBox::Information)
                                 << "Information: done.";
    // File names and engine texts are shown as written, never taken for markup.
    QTest::newRow("exclamation") << vbExclamation << int(QMessageBox::Warning)
                                 << "Could not use '/tmp/<b>a & b</b>.mdb'.";
  }
  void messageBox() {
    QFETCH(int, icon);
    QFETCH(int, shownIcon);
    QFETCH(QString, text);
    QStringList seen;  // title, text, icon, text format, buttons
    WithModal(
        [&](QWidget* modal) {
          auto* box = qobject_cast<QMessageBox*>(modal);
          if (box == nullptr) return;
          seen << box->windowTitle() << box->text() << QString::number(box->icon())
               << QString::number(box->textFormat());
          for (QAbstractButton* button : box->buttons()) seen << button->text().remove(u'&');
        },
        [&] { ui_.MsgBox(text, icon); });
    QCOMPARE(seen, QStringList({"Quillet", text, QString::number(shownIcon),
                                QString::number(Qt::PlainText), "OK"}));
  }

  // Databases are listed whatever the case of their extension. Open returns the full path
  // of the preselected name, a FIFO's too, without blocking. Cancel is a failure only when
  // the caller asks for one, and otherwise must never read as a choice.
  void fileDialog_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("cancelError");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("open") << "Sales.Mdb" << true << true << 0 << "Sales.Mdb";
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
