#pragma once

#include <QFileIconProvider>
#include <QMimeDatabase>

namespace quillet {

// Icons and type texts for the file dialog chosen from a file's kind and name alone. Qt's
// own provider reads the first bytes of files it cannot place by name, which is slow on a
// network share and pointless here: the dialog never opens a file it lists.
class NameOnlyIconProvider : public QFileIconProvider {
 public:
  using QFileIconProvider::icon;
  QIcon icon(const QFileInfo& info) const override;
  QString type(const QFileInfo& info) const override;

 private:
  QMimeDatabase mimeTypes_;
};

}  // namespace quillet
