// The window as a person meets it: the design, frame, pictures and keyboard, and the real
// Qt message box and file dialog, answered from a timer.

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTimer>

#include "WindowHarness.h"
#include "app/DesignFont.h"
#include "platform/ui/QtUiServices.h"

namespace quillet::test {

namespace {

// The design in twips, 15 to a device-independent pixel: the window's client area, then the
// controls.
const struct {
  const char* name;
  int left, top, width, height;
} kDesign[] = {
    {"frmDatabaseLocking", 0, 0, 6810, 1275},   {"lblDatabase", 1200, 60, 4695, 315},
    {"cmdBrowse", 5940, 60, 375, 375},          {"cmdCheckLocking", 6360, 60, 375, 375},
    {"lblDatabaseLockingMode", 1200, 480, 4695, 255}, {"cmdChangeLocking", 1200, 840, 4695, 315},
};

// Whether a picture has something drawn in it: a missing resource renders nothing.
bool HasInk(const QIcon& icon, int size) {
  const QImage image = icon.pixmap(size).toImage();
  QImage blank(image.size(), image.format());
  blank.fill(Qt::transparent);
  return image.size() == QSize(size, size) && image != blank;
}

// Calls act once, with the first modal widget shown; act must close it.
void WhenModalShown(std::function<void(QWidget*)> act) {
  auto* poll = new QTimer(QCoreApplication::instance());
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act = std::move(act)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    poll->deleteLater();
    poll->stop();
    act(modal);
  });
  poll->start(20);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  // The window is exactly as drawn, at the font the program uses.
  void geometry() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    const auto px = [](int twips) { return qRound(twips / 15.0); };
    for (const auto& c : kDesign) {
      const QRect designed(QPoint(px(c.left), px(c.top)),
                           QPoint(px(c.left + c.width) - 1, px(c.top + c.height) - 1));
      // The window itself is no child of its own.
      QWidget* widget = window.findChild<QWidget*>(QLatin1String(c.name));
      QCOMPARE(widget != nullptr ? widget->geometry() : window.rect(), designed);
    }
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lblDatabaseDesc"))->pos(), QPoint(8, 4));
  }

  void frameAndControls() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    QCOMPARE(window.windowTitle(), QStringLiteral("Database Locking"));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.size(), window.minimumSize());
    QCOMPARE(window.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint),
             Qt::WindowCloseButtonHint);
    for (int size : {16, 32, 48}) QVERIFY(HasInk(window.windowIcon(), size));
    QVERIFY(HasInk(h.browse()->icon(), 16) && HasInk(h.check()->icon(), 16));
    QCOMPARE(h.change()->text(), QStringLiteral("Change to \"Record Level Locking\""));
    QVERIFY(h.label("lblDatabaseLockingMode")->alignment().testFlag(Qt::AlignHCenter));
    // At the program's font the texts keep the room the design gave them.
    QVERIFY(window.findChild<QLabel*>(QStringLiteral("lblDatabaseDesc"))->geometry().right() <
            h.label("lblDatabase")->x());
    CaptionLabel* mode = h.label("lblDatabaseLockingMode");
    for (const QString& text : {kPageLevel, kRecordLevel}) {
      QVERIFY(mode->fontMetrics().horizontalAdvance(text) <= mode->contentsRect().width());
    }
  }

  // A wide default font is shrunk until the design's measure fits, never below 7 points;
  // one that fits already is kept.
  void fontFittingDesign_data() {
    QTest::addColumn<double>("pointSize");
    QTest::newRow("small") << 6.0;
    QTest::newRow("default") << QApplication::font().pointSizeF();
    QTest::newRow("large") << 14.0;
    QTest::newRow("huge") << 72.0;
  }
  void fontFittingDesign() {
    QFETCH(double, pointSize);
    QFont font = QApplication::font();
    font.setPointSizeF(pointSize);
    const QFont fitted = FontFittingDesign(font);
    const int width = QFontMetrics(fitted).horizontalAdvance(QStringLiteral("Database File:"));
    QCOMPARE(fitted.family(), font.family());
    if (QFontMetrics(font).horizontalAdvance(QStringLiteral("Database File:")) <= 68) {
      QCOMPARE(fitted.pointSizeF(), pointSize);
    } else if (fitted.pointSizeF() > 7.0) {
      QVERIFY(width <= 68);
      QFont larger = fitted;
      larger.setPointSizeF(fitted.pointSizeF() + 0.25);
      QVERIFY(QFontMetrics(larger).horizontalAdvance(QStringLiteral("Database File:")) > 68);
    } else {
      QCOMPARE(fitted.pointSizeF(), 7.0);
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

  // The start-up warning is a real modal box over the window, which is already visible.
  void realWarningOverTheWindow() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString database = h.database();
    OtherProcess other({"hold", ToLocalBytes(database)});
    QVERIFY(!other.line().empty());
    h.remember(database);
    QString text;
    QWidget* over = nullptr;
    WhenModalShown([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (box && box->icon() == QMessageBox::Warning && h.window().isVisible()) {
        text = box->text();
        over = box->parentWidget();
      }
      modal->close();
    });
    h.start();
    QCOMPARE(text, kLockFileWarning);
    QCOMPARE(over, &h.window());
    QVERIFY(h.current());
  }

  // A name typed into the real file dialog and accepted is opened.
  void realFileDialog() {
    QtUiServices services;
    WindowHarness h(&services);
    const QString database = h.database();
    h.start();
    WhenModalShown([&](QWidget* modal) {
      auto* name = modal->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && name) {
        name->setText(database);
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
      }
      if (modal->isVisible()) modal->close();  // not accepted: the checks below fail
    });
    h.click(h.browse());
    QCOMPARE(h.databaseCaption(), database);
    QVERIFY(h.current());
    QCOMPARE(h.modeCaption(), kPageLevel);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::WindowTest)
#include "WindowTest.moc"
