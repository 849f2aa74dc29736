#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QWidget>

#include "ModalDriver.h"
#include "platform/ui/QtUiServices.h"

using namespace quillet;
using quillet::test::WhenModalAppears;

namespace {

// What the user saw in the box.
struct Seen {
  bool appeared = false;
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  Qt::TextFormat format = Qt::AutoText;
  QStringList buttons;
  bool applicationModal = false;
  QWidget* parent = nullptr;
  QString shownLabelText;
};

// Records the message box on screen, then presses its only button.
void SeeAndPressOk(Seen& seen) {
  WhenModalAppears([&seen](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (box == nullptr) {
      if (modal != nullptr) modal->close();
      return;
    }
    seen.appeared = true;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.format = box->textFormat();
    for (QAbstractButton* button : box->buttons()) seen.buttons.append(button->text());
    seen.applicationModal = box->windowModality() == Qt::ApplicationModal;
    seen.parent = box->parentWidget();
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
      seen.shownLabelText = label->text();
    }
    if (box->buttons().size() == 1) box->buttons().constFirst()->click();
    else box->reject();
  });
}

}  // namespace

class MessageBoxTest : public QObject {
  Q_OBJECT

  QtUiServices ui_;

 private slots:
  void informationBoxOverTheActiveWindow() {
    QWidget window;
    window.setWindowTitle(QStringLiteral("Database Locking"));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    Seen seen;
    SeeAndPressOk(seen);
    ui_.MsgBox(QStringLiteral("Information: done."), vbInformation);

    QVERIFY(seen.appeared);  // it was on screen until the button was pressed
    QCOMPARE(seen.title, QStringLiteral("Quillet"));
    QCOMPARE(seen.text, QStringLiteral("Information: done."));
    QCOMPARE(seen.icon, QMessageBox::Information);
    QCOMPARE(seen.buttons.size(), 1);
    QCOMPARE(QString(seen.buttons.constFirst()).remove(u'&'), QStringLiteral("OK"));
    QVERIFY(seen.applicationModal);
    QCOMPARE(seen.parent, &window);
    QCOMPARE(window.windowTitle(), QStringLiteral("Database Locking"));
  }

  void exclamationBoxShowsTextAsWritten() {
    // Engine texts and file names are shown as they are, never taken for markup.
    const QString text = QStringLiteral(
        "There was a problem opening <b>x</b> and the error's description was reported as : "
        "\n\n\"Could not use '/tmp/<i>a & b</i>.mdb'.\" (-2147467259)");
    Seen seen;
    SeeAndPressOk(seen);
    ui_.MsgBox(text, vbExclamation);

    QVERIFY(seen.appeared);
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.format, Qt::PlainText);
    QCOMPARE(seen.shownLabelText, text);
  }

  // Before the window manager has activated anything, the box still belongs to the
  // visible window rather than floating on its own.
  void withoutAnActiveWindowTheVisibleWindowIsTheParent() {
    QWidget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    {
      // Another window takes the activation and goes away with it.
      QWidget passing;
      passing.show();
      passing.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&passing));
    }
    QTRY_VERIFY(QApplication::activeWindow() == nullptr);

    Seen seen;
    SeeAndPressOk(seen);
    ui_.MsgBox(QStringLiteral("Warning"), vbExclamation);
    QVERIFY(seen.appeared);
    QCOMPARE(seen.parent, &window);
  }
};

QTEST_MAIN(MessageBoxTest)
#include "MessageBoxTest.moc"
