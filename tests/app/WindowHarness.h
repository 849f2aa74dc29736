#pragma once

#include <sys/types.h>

#include <QPushButton>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/CaptionLabel.h"
#include "app/frmDatabaseLocking.h"
#include "support/RecordingUi.h"

namespace quillet::test {

// One test's world: a temporary folder for its databases, the real settings store kept in
// that folder, and the window on the recording services (message boxes and the file
// dialog are scripted; everything else is real).
class WindowHarness {
 public:
  // The window uses `services` when given (the real Qt services, for the tests of the real
  // dialogs), else the recording ones.
  explicit WindowHarness(UiServices* services = nullptr);
  ~WindowHarness();

  QString dir() const { return dir_.path(); }
  QString path(const QString& name) const;

  // The remembered database path, as the previous run would have left it.
  void remember(const QString& databasePath);
  // The remembered path, or the text "<none>" when no value is stored.
  QString remembered() const;

  RecordingUi ui;
  frmDatabaseLocking& window() { return *window_; }
  // Creates the window and runs its start-up.
  frmDatabaseLocking& start();

  QString databaseCaption() const;
  QString modeCaption() const;
  QPushButton* browse() const { return button("cmdBrowse"); }
  QPushButton* check() const { return button("cmdCheckLocking"); }
  QPushButton* change() const { return button("cmdChangeLocking"); }
  // "enabled" or "disabled" for the check and change buttons together, which must always
  // agree ("disagree" otherwise).
  QString actions() const;

  // Browses, with the dialog answering path (or Cancel for a null text).
  void browseTo(const QString& path);

 private:
  QPushButton* button(const char* name) const;
  CaptionLabel* label(const char* name) const;

  UiServices* services_;
  QTemporaryDir dir_;
  std::unique_ptr<frmDatabaseLocking> window_;
};

// The inode a path names now, or 0 when it names nothing. A hard link to a lock file keeps
// its inode alive, so comparing with it tells a deleted-and-recreated file from a kept one.
ino_t InodeOf(const QString& path);
void HardLink(const QString& from, const QString& to);

// Calls act once, with the first modal widget that appears; it must close it.
void WhenModalShown(std::function<void(QWidget*)> act);

// What another workstation sees: `quilletctl check` on the file, its output line.
QString CheckFromAnotherProcess(const QString& databasePath);

// The texts the window shows and says.
extern const QString kSelectDatabase;
extern const QString kPageLevel;
extern const QString kRecordLevel;
extern const QString kModeUnknown;
extern const QString kLockFileWarning;
extern const QString kAlreadyRecordLevel;
extern const QString kChangedToRecordLevel;
extern const QString kNotChangedToRecordLevel;

}  // namespace quillet::test
