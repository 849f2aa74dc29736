#include "platform/ui/NameOnlyIconProvider.h"

#include <QFileInfo>
#include <QIcon>

namespace quillet {

QIcon NameOnlyIconProvider::icon(const QFileInfo& info) const {
  if (info.isDir()) return icon(Folder);
  if (info.isFile()) {
    const QMimeType mimeType = mimeTypes_.mimeTypeForFile(info, QMimeDatabase::MatchExtension);
    QIcon themed = QIcon::fromTheme(mimeType.iconName());
    if (themed.isNull()) themed = QIcon::fromTheme(mimeType.genericIconName());
    if (!themed.isNull()) return themed;
  }
  return icon(File);
}

QString NameOnlyIconProvider::type(const QFileInfo& info) const {
  if (!info.isFile()) return QFileIconProvider::type(info);  // folders, drives, links: no read
  const QMimeType mimeType = mimeTypes_.mimeTypeForFile(info, QMimeDatabase::MatchExtension);
  return mimeType.comment().isEmpty() ? mimeType.name() : mimeType.comment();
}

}  // namespace quillet
