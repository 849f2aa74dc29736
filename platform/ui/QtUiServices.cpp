#include "platform/ui/QtUiServices.h"

#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <thread>

#include "platform/ui/FileDialogFilter.h"
#include "platform/ui/NameOnlyIconProvider.h"

namespace quillet {
namespace {

// The application's title on its message boxes. A constant rather than the application
// display name: Qt appends that name to every window title, and the main window's title
// must read exactly as designed.
const char* const kMessageBoxTitle = "Quillet";

// How many override cursors this code has pushed. The override stack belongs to the whole
// application, so the count does too (user-interface thread only).
int screenOverridesPushed = 0;

// The window a dialog belongs over: the active one, or, before the window manager has
// activated anything (a message box at start-up), the visible top-level window.
QWidget* DialogParent() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    const Qt::WindowType type = widget->windowType();
    if (widget->isVisible() && (type == Qt::Window || type == Qt::Dialog)) return widget;
  }
  return nullptr;
}

QMessageBox::Icon MessageBoxIcon(int icon) {
  switch (icon) {
    case 16: return QMessageBox::Critical;
    case 32: return QMessageBox::Question;
    case vbExclamation: return QMessageBox::Warning;
    case vbInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// Opens the dialog on the initial name: a folder is opened, a file is selected in its
// folder. When the folder is gone only the name is filled in, over the default folder.
void Preselect(QFileDialog& dialog, const QString& fileName) {
  if (fileName.isEmpty()) return;
  const QFileInfo info(fileName);
  if (info.isDir()) {
    dialog.setDirectory(info.absoluteFilePath());
  } else if (info.absoluteDir().exists()) {
    dialog.selectFile(info.absoluteFilePath());
  } else {
    dialog.selectFile(info.fileName());
  }
}

}  // namespace

void QtUiServices::MsgBox(const QString& text, int icon) {
  QMessageBox box(MessageBoxIcon(icon), QString::fromLatin1(kMessageBoxTitle), text,
                  QMessageBox::Ok, DialogParent());
  // Messages quote file names and engine texts; none of it is markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

Status QtUiServices::ShowOpen(OpenFileRequest& request) {
  QFileDialog dialog(DialogParent(), request.DialogTitle);
  // Qt's own dialog on every desktop: the same filter matching and the same care with
  // special files everywhere. It never opens what it lists (see NameOnlyIconProvider),
  // so a FIFO or a device can be listed and picked without blocking; picking one only
  // returns its path. A folder typed and accepted is entered, not returned.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  // An open dialog has no business renaming or deleting databases.
  dialog.setOption(QFileDialog::ReadOnly);
  // The entry shows the description as written; the case-insensitive patterns behind it
  // stay out of sight.
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  NameOnlyIconProvider iconProvider;
  dialog.setIconProvider(&iconProvider);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList nameFilters = NameFiltersFromVbFilter(request.Filter);
  if (!nameFilters.isEmpty()) dialog.setNameFilters(nameFilters);
  Preselect(dialog, request.FileName);

  if (dialog.exec() != QDialog::Accepted) {
    if (request.CancelError) return Status::Error(ErrorSource::kVbRuntime, cdlCancel, "Cancel was selected.");
    request.FileName.clear();  // a cancel must never read as a choice
    return Status::OK();
  }
  request.FileName = dialog.selectedFiles().value(0);
  return Status::OK();
}

void QtUiServices::SetMousePointer(QWidget& window, int pointer) {
  if (pointer == vbHourglass) {
    window.setCursor(Qt::WaitCursor);
  } else {
    window.unsetCursor();
  }
}

int QtUiServices::MousePointer(const QWidget& window) const {
  const bool busy =
      window.testAttribute(Qt::WA_SetCursor) && window.cursor().shape() == Qt::WaitCursor;
  return busy ? vbHourglass : vbDefault;
}

int QtUiServices::ScreenMousePointer() const {
  const QCursor* cursor = QGuiApplication::overrideCursor();
  return cursor != nullptr && cursor->shape() == Qt::WaitCursor ? vbHourglass : vbDefault;
}

void QtUiServices::SetScreenMousePointer(int pointer) {
  // Setting is assignment, not nesting: what this code pushed earlier goes first, so any
  // sequence of settings ends with at most one override of ours on the stack.
  while (screenOverridesPushed > 0) {
    QGuiApplication::restoreOverrideCursor();
    --screenOverridesPushed;
  }
  if (pointer == vbHourglass) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    ++screenOverridesPushed;
  }
}

void QtUiServices::DoEvents() { QCoreApplication::processEvents(); }

void QtUiServices::WaitForEvents(int maxMilliseconds) {
  if (maxMilliseconds <= 0) {
    DoEvents();
    return;
  }
  if (QCoreApplication::instance() == nullptr) {  // no event can arrive: just sleep
    std::this_thread::sleep_for(std::chrono::milliseconds(maxMilliseconds));
    return;
  }
  // The timer is itself an event: it ends the blocking wait at the deadline when nothing
  // else arrives first.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(maxMilliseconds);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace quillet
