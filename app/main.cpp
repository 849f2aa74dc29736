// Quillet: tells whether a shared Jet database runs in page-level or record-level locking,
// and switches a page-level one to record-level by becoming its first opener.

#include <QApplication>

#include "app/Artwork.h"
#include "app/DesignFont.h"
#include "app/frmDatabaseLocking.h"
#include "platform/ui/QtUiServices.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quillet"));
  QApplication::setOrganizationName(QStringLiteral("Oxtaro"));
  // No display name: on X11 Qt would append it to the window title.
  QGuiApplication::setDesktopFileName(QStringLiteral("quillet"));
  QApplication::setWindowIcon(quillet::ApplicationIcon());
  quillet::UseFontFittingDesign();

  quillet::QtUiServices ui;
  quillet::frmDatabaseLocking window(ui);
  window.Form_Load();
  // Closing the window, the last one, ends the program.
  return app.exec();
}
