// The window with the real Qt services: real message boxes and the real file dialog,
// answered from a timer as a person would.

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "WindowHarness.h"
#include "platform/ui/QtUiServices.h"
#include "support/Fixtures.h"

namespace quillet::test {

class RealDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  // The start-up warning is a real modal box over the window, which is already visible.
  void startupWarningAppearsOverTheWindow() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    Holder other(database);
    QVERIFY(other.waitUntilHolding());
    h.remember(database);

    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool windowVisible = false;
    QWidget* over = nullptr;
    WhenModalShown([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (box == nullptr) return modal->close();
      text = box->text();
      icon = box->icon();
      windowVisible = h.window().isVisible();
      over = box->parentWidget();
      box->button(QMessageBox::Ok)->click();
      return true;
    });
    h.start();

    QCOMPARE(text, kLockFileWarning);
    QCOMPARE(icon, QMessageBox::Warning);
    QVERIFY(windowVisible);
    QCOMPARE(over, &h.window());
    QCOMPARE(h.modeCaption(), kPageLevel);
  }

  // The standard report of a refused start-up file, in a real box with the warning icon.
  void startupReportInRealMessageBox() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString notes = WriteFile(h.dir(), QStringLiteral("notes.MDB"), "plain text\n");
    h.remember(notes);

    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenModalShown([&](QWidget* modal) {
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        text = box->text();
        icon = box->icon();
      }
      modal->close();
    });
    h.start();

    QVERIFY2(text.startsWith(QStringLiteral(
                 "There was a problem opening the database and the error's description was "
                 "reported as : \n\n\"")),
             qPrintable(text));
    QVERIFY2(text.endsWith(QStringLiteral("\" (3343)")), qPrintable(text));
    QCOMPARE(icon, QMessageBox::Warning);
    QCOMPARE(h.databaseCaption(), notes);
  }

  // Browse through the real dialog: it asks as the window wants, accepting a file opens it,
  // and the next Browse starts on that file; Cancel there changes nothing.
  void browseThroughTheRealFileDialog() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    h.start();

    QString title;
    bool stayedOpen = false;
    WhenModalShown([&](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      auto* name = modal->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (dialog == nullptr || name == nullptr) return modal->close();
      title = dialog->windowTitle();
      // As a person would: once the folder is listed, type the name and press Open.
      (void)QTest::qWaitFor([&] { return dialog->directory().exists(); }, 5000);
      name->setText(database);
      QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
      stayedOpen = dialog->isVisible();
      if (stayedOpen) dialog->reject();
      return true;
    });
    QTest::mouseClick(h.browse(), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("Select Database"));
    QVERIFY(!stayedOpen);
    QCOMPARE(h.databaseCaption(), database);
    QCOMPARE(h.modeCaption(), kPageLevel);
    const DatabasePtr opened = h.window().currentDatabase();
    QVERIFY(opened);

    QStringList preselected;
    WhenModalShown([&](QWidget* modal) {
      if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        preselected = dialog->selectedFiles();
        dialog->reject();
      } else {
        modal->close();
      }
    });
    QTest::mouseClick(h.browse(), Qt::LeftButton);
    QCOMPARE(preselected, QStringList{database});
    QCOMPARE(h.window().currentDatabase(), opened);
    QCOMPARE(h.databaseCaption(), database);
  }

  // A whole change with the real services: the real success box, then the new mode.
  void changeShowsRealSuccessBox() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    h.remember(database);
    h.start();

    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenModalShown([&](QWidget* modal) {
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        text = box->text();
        icon = box->icon();
      }
      modal->close();
    });
    QTest::mouseClick(h.change(), Qt::LeftButton);
    QCOMPARE(text, kChangedToRecordLevel);
    QCOMPARE(icon, QMessageBox::Information);
    QCOMPARE(h.modeCaption(), kRecordLevel);
    QCOMPARE(services.MousePointer(h.window()), 0);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::RealDialogsTest)
#include "RealDialogsTest.moc"
