#include "app/CaptionLabel.h"

#include <QEvent>

namespace quillet {

CaptionLabel::CaptionLabel(Qt::TextElideMode elideMode, QWidget* parent)
    : QLabel(parent), elideMode_(elideMode) {
  setTextFormat(Qt::PlainText);
}

void CaptionLabel::setCaption(const QString& caption) {
  caption_ = caption;
  showElided();
  emit Change();
}

void CaptionLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  showElided();
}

void CaptionLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) showElided();
}

int CaptionLabel::clearance() const {
  // A framed label with the default indent keeps half an 'x' clear on its leading side;
  // a centred one on both.
  const int indentWidth = indent() >= 0      ? indent()
                          : frameWidth() > 0 ? fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2
                                             : 0;
  const int indents = (alignment() & Qt::AlignHCenter) ? 2 * indentWidth : indentWidth;
  return 2 * frameWidth() + 2 * margin() + indents;
}

int CaptionLabel::widthShowingWhole(const QString& caption) const {
  return fontMetrics().horizontalAdvance(caption) + clearance();
}

void CaptionLabel::showElided() {
  const int room = qMax(width() - clearance(), 0);
  const QString shown = fontMetrics().elidedText(caption_, elideMode_, room);
  if (shown != text()) setText(shown);
  setToolTip(shown == caption_ ? QString() : caption_);
}

}  // namespace quillet
