#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <algorithm>
#include <cmath>

namespace quillet {

// Places controls of a design drawn in twips. Twips are physical: a larger font is drawn
// with fewer twips to a device-independent pixel, so the whole window grows with its texts
// (Qt still scales those pixels on high-density screens). Edges are rounded rather than
// sizes, so that controls which line up in the design still line up.
class TwipsLayout {
 public:
  // The design's own scale, 96 dpi: the smallest the window is ever drawn.
  static constexpr double kDesignTwipsPerPixel = 15.0;

  explicit TwipsLayout(double twipsPerPixel = kDesignTwipsPerPixel)
      : twipsPerPixel_(std::min(twipsPerPixel, kDesignTwipsPerPixel)) {}

  // The largest scale at which `pixels` fit into `twips` whatever the rounding of the two
  // edges (each edge moves by at most half a pixel).
  static double Fitting(int twips, int pixels) { return twips / (pixels + 1.0); }

  double twipsPerPixel() const { return twipsPerPixel_; }
  int pixels(int twips) const { return static_cast<int>(std::lround(twips / twipsPerPixel_)); }
  QPoint point(int left, int top) const { return {pixels(left), pixels(top)}; }
  QSize size(int width, int height) const { return {pixels(width), pixels(height)}; }
  QRect rect(int left, int top, int width, int height) const {
    return QRect(point(left, top), QPoint(pixels(left + width) - 1, pixels(top + height) - 1));
  }

 private:
  double twipsPerPixel_;
};

}  // namespace quillet
