#include "app/DesignFont.h"

#include <QApplication>
#include <QFontMetrics>

#include "app/TwipsLayout.h"

namespace quillet {

namespace {

constexpr int kDatabaseDescTwips = 1020;
constexpr double kSmallestPointSize = 7.0;
constexpr double kStep = 0.25;

bool FitsDesign(const QFont& font) {
  return QFontMetrics(font).horizontalAdvance(QStringLiteral("Database File:")) <=
         TwipsLayout::pixels(kDatabaseDescTwips);
}

}  // namespace

QFont FontFittingDesign(const QFont& font) {
  QFont fitted = font;
  // A font given in pixels is left as it is: its owner chose an exact size.
  if (fitted.pointSizeF() <= 0) return fitted;
  while (!FitsDesign(fitted) && fitted.pointSizeF() - kStep >= kSmallestPointSize) {
    fitted.setPointSizeF(fitted.pointSizeF() - kStep);
  }
  return fitted;
}

void UseFontFittingDesign() { QApplication::setFont(FontFittingDesign(QApplication::font())); }

}  // namespace quillet
