#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <cmath>

namespace quillet {

// Places controls of a design drawn in twips, 15 to a device-independent pixel (Qt scales
// those pixels on high-density screens). Edges are rounded rather than sizes, so that
// controls which line up in the design still line up.
class TwipsLayout {
 public:
  static constexpr double kTwipsPerPixel = 15.0;

  static int pixels(int twips) { return static_cast<int>(std::lround(twips / kTwipsPerPixel)); }
  static QPoint point(int left, int top) { return {pixels(left), pixels(top)}; }
  static QSize size(int width, int height) { return {pixels(width), pixels(height)}; }
  static QRect rect(int left, int top, int width, int height) {
    return QRect(point(left, top), QPoint(pixels(left + width) - 1, pixels(top + height) - 1));
  }
};

}  // namespace quillet
