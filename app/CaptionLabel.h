#pragma once

#include <QLabel>
#include <QString>

namespace quillet {

// A label that holds a caption and tells when it is set, the way a form's label raises
// Change whenever its Caption is assigned. The caption is shown as plain text (a file name
// may look like markup); when it is wider than the label it is elided, and the whole text
// becomes the tool tip. caption() always returns the whole text.
class CaptionLabel : public QLabel {
  Q_OBJECT

 public:
  explicit CaptionLabel(Qt::TextElideMode elideMode, QWidget* parent = nullptr);

  const QString& caption() const { return caption_; }
  // Stores the caption and raises Change, even when the text is the same: the handlers
  // re-evaluate the file behind it, which may have changed since.
  void setCaption(const QString& caption);
  // The width at which `caption` would be shown whole, frame and indents included.
  int widthShowingWhole(const QString& caption) const;

 signals:
  void Change();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int clearance() const;  // what the frame, margins and indents take of the width
  void showElided();

  Qt::TextElideMode elideMode_;
  QString caption_;
};

}  // namespace quillet
