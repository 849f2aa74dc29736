// Quillet: tells whether a shared Jet database runs in page-level or record-level locking,
// and switches a page-level one to record-level by becoming its first opener.

#include <QApplication>
#include <QTimer>

#include "app/Artwork.h"
#include "app/StopSignals.h"
#include "app/frmDatabaseLocking.h"
#include "platform/base/StandardDescriptors.h"
#include "platform/samba/SambaOpeners.h"
#include "platform/samba/SambaServingSource.h"
#include "platform/ui/QtUiServices.h"

int main(int argc, char* argv[]) {
  // Before anything is opened: no database, lock file or settings store may become the
  // standard output or error and receive the messages printed there.
  quillet::ReserveStandardDescriptors();

  QApplication app(argc, argv);
  quillet::StopSignals stops;
  QApplication::setApplicationName(QStringLiteral("quillet"));
  QApplication::setOrganizationName(QStringLiteral("Oxtaro"));
  // No display name: on X11 Qt would append it to the window title.
  QGuiApplication::setDesktopFileName(QStringLiteral("quillet"));
  QApplication::setWindowIcon(quillet::ApplicationIcon());

  // A Windows client of a Samba server here may hold a database open without a lock, and a
  // share may keep its clients' locks to itself.
  quillet::AskSambaForOtherOpeners();
  quillet::AskSambaForServingShares();

  quillet::QtUiServices ui;
  quillet::frmDatabaseLocking window(ui);
  // Asked to end, the program closes its window, which lets go of the database and its
  // lock file, and ends every running event loop: a message box's, a dialog's, the main one.
  QObject::connect(&stops, &quillet::StopSignals::received, &window, [&window] {
    window.close();
    QCoreApplication::exit(0);
  });
  // Loaded from inside the event loop, so that a stop during start-up (its message box
  // included) ends the program as well. Closing the window, the last one, ends it too.
  QTimer::singleShot(0, &window, &quillet::frmDatabaseLocking::Form_Load);
  return app.exec();
}
