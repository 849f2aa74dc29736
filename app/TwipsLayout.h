#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <algorithm>
#include <cmath>

namespace quillet {

// Places controls of a design drawn in twips, 15 to a device-independent pixel (Qt scales
// those pixels on high-density screens). The design was drawn around a font narrower than
// most desktops' default: `scale` enlarges the whole design evenly so that its texts keep
// the room they were given. Edges are rounded rather than sizes, so that controls which
// line up in the design still line up.
class TwipsLayout {
 public:
  static constexpr double kTwipsPerPixel = 15.0;

  // The scale at which a text that the design gave `designedTwips` of width fits in
  // `actualPixels`. Never below 1: with a font no wider than the design's, the design's
  // own pixels are used.
  static double ScaleFor(int designedTwips, int actualPixels) {
    return std::max(1.0, actualPixels * kTwipsPerPixel / designedTwips);
  }

  explicit TwipsLayout(double scale = 1.0) : scale_(scale) {}

  double scale() const { return scale_; }
  int pixels(int twips) const {
    return static_cast<int>(std::lround(twips * scale_ / kTwipsPerPixel));
  }
  QPoint point(int left, int top) const { return {pixels(left), pixels(top)}; }
  QSize size(int width, int height) const { return {pixels(width), pixels(height)}; }
  QRect rect(int left, int top, int width, int height) const {
    return QRect(point(left, top), QPoint(pixels(left + width) - 1, pixels(top + height) - 1));
  }

 private:
  double scale_;
};

}  // namespace quillet
