#include "app/Artwork.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The artwork is compiled into the static library, whose resources are registered by
// hand, once; the registration must be made outside any namespace.
static void RegisterArtwork() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(quillet);
    return true;
  }();
  (void)registered;
}

namespace quillet {

namespace {

QPixmap Render(const QString& file, int size) {
  QSvgRenderer renderer(file);
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  renderer.render(&painter);
  return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
  RegisterArtwork();
  QIcon icon;
  icon.addPixmap(Render(QStringLiteral(":/icons/quillet-16.svg"), 16));
  for (int size : {24, 32, 48, 64, 128, 256}) {
    icon.addPixmap(Render(QStringLiteral(":/icons/quillet.svg"), size));
  }
  return icon;
}

// SVG icons are drawn at whatever size and pixel density the button asks for.
QIcon OpenFolderPicture() {
  RegisterArtwork();
  return QIcon(QStringLiteral(":/icons/folder-open.svg"));
}

QIcon CheckLockingPicture() {
  RegisterArtwork();
  return QIcon(QStringLiteral(":/icons/check-locking.svg"));
}

}  // namespace quillet
