// The window as designed: geometry from the twips layout, texts, pictures, the window's
// frame, focus order and the absence of a default button.

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QTest>

#include "WindowHarness.h"
#include "support/Fixtures.h"

namespace quillet::test {

namespace {

// The design, in twips: 15 to a device-independent pixel with a font as narrow as the
// design's, enlarged evenly by `scale` for a wider one.
QRect Twips(int left, int top, int width, int height, double scale = 1.0) {
  const auto px = [scale](int twips) { return qRound(twips * scale / 15.0); };
  return QRect(QPoint(px(left), px(top)), QPoint(px(left + width) - 1, px(top + height) - 1));
}

struct Designed {
  const char* name;
  QRect twips;
};
const Designed kDesign[] = {
    {"lblDatabase", {1200, 60, 4695, 315}},
    {"cmdBrowse", {5940, 60, 375, 375}},
    {"cmdCheckLocking", {6360, 60, 375, 375}},
    {"lblDatabaseLockingMode", {1200, 480, 4695, 255}},
    {"cmdChangeLocking", {1200, 840, 4695, 315}},
};

// Uses another application font for the life of the guard (a window takes its font when
// it is created).
class ApplicationFont {
 public:
  explicit ApplicationFont(const QFont& font) : saved_(QApplication::font()) {
    QApplication::setFont(font);
  }
  ~ApplicationFont() { QApplication::setFont(saved_); }

 private:
  QFont saved_;
};

// The default font made narrow or wide enough that "Database File:" takes at most (or at
// least) `pixels`.
QFont FontWhereDescriptionTakes(int pixels, bool atMost) {
  QFont font = QApplication::font();
  for (qreal size = 4; size <= 40; size += 0.25) {
    font.setPointSizeF(atMost ? 40 + 4 - size : size);
    const int width = QFontMetrics(font).horizontalAdvance(QStringLiteral("Database File:"));
    if (atMost ? width <= pixels : width >= pixels) return font;
  }
  qFatal("no font size fits");
}

// Whether a picture has something drawn in it (a missing resource renders nothing).
bool HasInk(const QPixmap& pixmap) {
  const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
  int opaque = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
  }
  return opaque >= image.width() * image.height() / 8;
}

}  // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void windowFrameAndSize() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    QCOMPARE(window.windowTitle(), QStringLiteral("Database Locking"));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.size(), window.minimumSize());
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(window.isWindow());

    const QIcon icon = window.windowIcon();
    for (int size : {16, 32, 48}) {
      QVERIFY2(icon.availableSizes().contains(QSize(size, size)), qPrintable(QString::number(size)));
      QVERIFY(HasInk(icon.pixmap(QSize(size, size))));
    }
  }

  // With a font as narrow as the design's, the window is exactly as drawn in twips.
  void exactDesignWithTheDesignFont() {
    const ApplicationFont narrow(FontWhereDescriptionTakes(1020 / 15, true));
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    QCOMPARE(window.size(), QSize(6810 / 15, 1275 / 15));
    auto* desc = window.findChild<QLabel*>(QStringLiteral("lblDatabaseDesc"));
    QVERIFY(desc);
    QCOMPARE(desc->pos(), QPoint(120 / 15, 60 / 15));
    QCOMPARE(desc->size(), desc->sizeHint());  // sized to its text
    for (const Designed& control : kDesign) {
      auto* widget = window.findChild<QWidget*>(QString::fromLatin1(control.name));
      QVERIFY2(widget, control.name);
      QCOMPARE(widget->geometry(), Twips(control.twips.x(), control.twips.y(),
                                         control.twips.width(), control.twips.height()));
    }
  }

  // A wider default font enlarges the whole design evenly, so that its texts keep the room
  // the design gave them: the description ends before the path box, and the two mode
  // lines fit in theirs.
  void widerFontEnlargesTheDesignEvenly() {
    const ApplicationFont wide(FontWhereDescriptionTakes(1020 / 15 * 3 / 2, false));
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    const double scale = window.width() / (6810 / 15.0);
    QVERIFY(scale >= 1.45);
    QCOMPARE(window.height(), qRound(1275 * scale / 15));
    auto* desc = window.findChild<QLabel*>(QStringLiteral("lblDatabaseDesc"));
    QVERIFY(desc);
    QCOMPARE(desc->size(), desc->sizeHint());
    for (const Designed& control : kDesign) {
      auto* widget = window.findChild<QWidget*>(QString::fromLatin1(control.name));
      QVERIFY2(widget, control.name);
      const QRect expected = Twips(control.twips.x(), control.twips.y(), control.twips.width(),
                                   control.twips.height(), scale);
      QVERIFY2(qAbs(widget->x() - expected.x()) <= 1 && qAbs(widget->y() - expected.y()) <= 1 &&
                   qAbs(widget->width() - expected.width()) <= 1 &&
                   qAbs(widget->height() - expected.height()) <= 1,
               control.name);
    }
    auto* path = window.findChild<QLabel*>(QStringLiteral("lblDatabase"));
    QVERIFY(desc->geometry().right() < path->geometry().left());
    auto* mode = window.findChild<QLabel*>(QStringLiteral("lblDatabaseLockingMode"));
    for (const QString& text : {kPageLevel, kRecordLevel}) {
      QVERIFY(mode->fontMetrics().horizontalAdvance(text) <= mode->contentsRect().width());
    }
    QCOMPARE(h.browse()->iconSize(), QSize(16, 16));  // pictures keep their size
  }

  void controlsAsDesigned() {
    WindowHarness h;
    frmDatabaseLocking& window = h.start();
    auto* desc = window.findChild<QLabel*>(QStringLiteral("lblDatabaseDesc"));
    QVERIFY(desc);
    QCOMPARE(desc->text(), QStringLiteral("Database File:"));
    QCOMPARE(desc->frameShape(), QFrame::NoFrame);
    auto* path = window.findChild<QLabel*>(QStringLiteral("lblDatabase"));
    QVERIFY(path);
    QVERIFY(path->frameShape() != QFrame::NoFrame);
    auto* mode = window.findChild<QLabel*>(QStringLiteral("lblDatabaseLockingMode"));
    QVERIFY(mode);
    QVERIFY(mode->frameShape() != QFrame::NoFrame);
    QVERIFY(mode->alignment().testFlag(Qt::AlignHCenter));
    QCOMPARE(h.change()->text(), QStringLiteral("Change to \"Record Level Locking\""));

    for (QPushButton* picture : {h.browse(), h.check()}) {
      QCOMPARE(picture->text(), QString());
      QCOMPARE(picture->toolTip(), QString());
      QCOMPARE(picture->iconSize(), QSize(16, 16));
      QVERIFY(HasInk(picture->icon().pixmap(QSize(16, 16))));
    }
    // Nothing sets a font: the platform's default is used throughout.
    QVERIFY(!window.testAttribute(Qt::WA_SetFont));
    for (QWidget* child : window.findChildren<QWidget*>()) {
      QVERIFY2(!child->testAttribute(Qt::WA_SetFont), qPrintable(child->objectName()));
    }
  }

  // Labels take no focus; Tab goes browse -> check -> change and skips disabled buttons;
  // Enter presses no default button.
  void keyboard() {
    WindowHarness h;
    const QString database = WriteJetDatabase(h.dir(), QStringLiteral("Sales.mdb"));
    frmDatabaseLocking& window = h.start();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    for (QLabel* label : window.findChildren<QLabel*>()) {
      QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }

    h.browse()->setFocus();
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), h.browse());  // check and change are disabled

    h.browseTo(database);
    h.browse()->setFocus();
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), h.check());
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), h.change());
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), h.browse());

    for (QPushButton* button : {h.browse(), h.check(), h.change()}) {
      QVERIFY(!button->isDefault());
      QVERIFY(!button->autoDefault());
    }
    // Enter does not press a focused button that is not a default button.
    const int requests = h.ui.openRequests.size();
    QCOMPARE(QApplication::focusWidget(), h.browse());
    QTest::keyClick(h.browse(), Qt::Key_Return);
    QCOMPARE(h.ui.openRequests.size(), requests);
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::WindowLayoutTest)
#include "WindowLayoutTest.moc"
