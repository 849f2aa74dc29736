#include <sys/stat.h>

#include <QAbstractButton>
#include <QDir>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <climits>

#include "platform/ui/QtUiServices.h"
#include "support/Fixtures.h"

using namespace quillet;

namespace {

// Runs `show`, which brings up a real modal dialog, while a timer plays the user: `act` gets
// the dialog and must close it. It records instead of asserting (a failed check would return
// with the dialog still open); the test checks the record once `show` has returned.
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

}  // namespace

class UiServicesTest : public QObject {
  Q_OBJECT

  QtUiServices ui_;
  QTemporaryDir dir_;
  QString folder_;

  QString path(const QString& name) const { return QDir(folder_).filePath(name); }
  OpenFileRequest databaseRequest(const QString& name, bool cancelError = true) const {
    return {QStringLiteral("Select Database"), QStringLiteral("Database Files (*.MDB)|*.MDB"),
            path(name), cancelError};
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    folder_ = QDir(dir_.path()).filePath(QStringLiteral("shared dbs"));  // a space on purpose
    QVERIFY(QDir().mkpath(folder_));
    for (const char* name : {"sales.mdb", "Sales.Mdb", "sales.txt"})
      test::WriteFile(folder_, QString::fromLatin1(name), "not read by the dialog");
    // Opening a FIFO with no writer blocks: the dialog must list and pick without opening it.
    QCOMPARE(mkfifo(QFile::encodeName(path(QStringLiteral("pipe.mdb"))).constData(), 0600), 0);
  }

  // Texts for the file and argument errors only; their neighbours and engine numbers have
  // none, so the engine's own description gets shown.
  void standardErrorTextBoundaries() {
    QCOMPARE(StandardErrorText(5), QStringLiteral("Invalid procedure call or argument"));
    QCOMPARE(StandardErrorText(70), QStringLiteral("Permission denied"));
    QCOMPARE(StandardErrorText(76), QStringLiteral("Path not found"));
    for (int number : {0, 4, 7, 52, 77, 3024, 3356, -70, 65536 + 70, INT_MIN, INT_MAX})
      QVERIFY2(StandardErrorText(number).isEmpty(), QByteArray::number(number).constData());
  }

  void pointersRoundTrip() {
    QWidget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget child(&window);
    for (QWidget* widget : {&window, &child}) {
      QCOMPARE(ui_.MousePointer(*widget), vbDefault);
      ui_.SetMousePointer(*widget, vbHourglass);
      QCOMPARE(ui_.MousePointer(*widget), vbHourglass);
      QCOMPARE(widget->cursor().shape(), Qt::WaitCursor);
      ui_.SetMousePointer(*widget, vbDefault);
      QCOMPARE(ui_.MousePointer(*widget), vbDefault);
      QCOMPARE(widget->cursor().shape(), Qt::ArrowCursor);
      // A child follows its parent's pointer again.
      QVERIFY(widget->isWindow() || !widget->testAttribute(Qt::WA_SetCursor));
    }

    // The screen pointer is assigned, not stacked: one default ends any number of
    // hourglasses, and an override set by someone else stays.
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);
    QCOMPARE(ui_.ScreenMousePointer(), vbDefault);
    for (int i = 0; i < 3; ++i) ui_.SetScreenMousePointer(vbHourglass);
    QCOMPARE(ui_.ScreenMousePointer(), vbHourglass);
    ui_.SetScreenMousePointer(vbDefault);
    const QCursor* left = QGuiApplication::overrideCursor();
    QVERIFY(left != nullptr && left->shape() == Qt::CrossCursor);
    QGuiApplication::restoreOverrideCursor();
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
  }

  void messageBox_data() {
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("shownIcon");
    QTest::addColumn<QString>("text");
    QTest::newRow("information") << vbInformation << int(QMessageBox::Information)
                                 << QStringLiteral("Information: done.");
    // File names and engine texts are shown as written, never taken for markup.
    QTest::newRow("exclamation") << vbExclamation << int(QMessageBox::Warning)
                                 << QStringLiteral("Could not use '/tmp/<b>a & b</b>.mdb'.");
  }
  void messageBox() {
    QFETCH(int, icon);
    QFETCH(int, shownIcon);
    QFETCH(QString, text);
    QWidget window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QStringList seen;  // title, text, buttons
    int seenIcon = -1;
    Qt::TextFormat format = Qt::AutoText;
    QWidget* parent = nullptr;
    WithModal(
        [&](QWidget* modal) {
          auto* box = qobject_cast<QMessageBox*>(modal);
          if (box == nullptr) return;
          seen << box->windowTitle() << box->text();
          for (QAbstractButton* button : box->buttons()) seen << button->text().remove(u'&');
          seenIcon = box->icon();
          format = box->textFormat();
          parent = box->parentWidget();
          if (box->buttons().size() == 1) box->buttons().constFirst()->click();
        },
        [&] { ui_.MsgBox(text, icon); });

    QCOMPARE(seen, (QStringList{QStringLiteral("Quillet"), text, QStringLiteral("OK")}));
    QCOMPARE(seenIcon, shownIcon);
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(parent, &window);
  }

  // Databases are listed whatever the case of their extension, and the FIFO does not hang
  // the listing. Cancel is a failure only when the caller asks for one.
  void fileDialogListsAndCancels_data() {
    QTest::addColumn<bool>("cancelError");
    QTest::newRow("cancel error") << true;
    QTest::newRow("no cancel error") << false;
  }
  void fileDialogListsAndCancels() {
    QFETCH(bool, cancelError);
    OpenFileRequest request = databaseRequest(QStringLiteral("sales.mdb"), cancelError);
    QString title;
    QStringList listed;
    const Status status = WithModal(
        [&](QWidget* modal) {
          title = modal->windowTitle();
          auto* view = modal->findChild<QListView*>(QStringLiteral("listView"));
          if (view == nullptr) return;
          // The dialog reads the folder in the background.
          (void)QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) >= 2; });
          for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
          listed.sort();
        },
        [&] { return ui_.ShowOpen(request); });

    QCOMPARE(title, QStringLiteral("Select Database"));
    QCOMPARE(listed, (QStringList{QStringLiteral("Sales.Mdb"), QStringLiteral("sales.mdb")}));
    if (cancelError) {
      QCOMPARE(status.number(), 32755);
      QCOMPARE(status.description(), std::string("Cancel was selected."));
      QCOMPARE(request.FileName, path(QStringLiteral("sales.mdb")));
    } else {
      QVERIFY(status.ok());
      QVERIFY(request.FileName.isEmpty());  // a cancel must never read as a choice
    }
  }

  // Open on the preselected name returns its full path, a FIFO's too, without blocking.
  void fileDialogReturnsTheAcceptedPath_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("database") << QStringLiteral("Sales.Mdb");
    QTest::newRow("fifo") << QStringLiteral("pipe.mdb");
  }
  void fileDialogReturnsTheAcceptedPath() {
    QFETCH(QString, name);
    OpenFileRequest request = databaseRequest(name);
    QString preselected;
    const Status status = WithModal(
        [&](QWidget* modal) {
          if (auto* edit = modal->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            preselected = edit->text();
          QMetaObject::invokeMethod(modal, "accept", Qt::DirectConnection);
        },
        [&] { return ui_.ShowOpen(request); });

    QCOMPARE(preselected, name);
    QVERIFY2(status.ok(), status.description().c_str());
    QCOMPARE(request.FileName, path(name));
  }
};

QTEST_MAIN(UiServicesTest)
#include "UiServicesTest.moc"
