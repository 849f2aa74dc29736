#pragma once

#include <QString>
#include <QWidget>

#include "platform/base/Status.h"
#include "platform/engine/Dao.h"

class QCloseEvent;
class QLabel;
class QPushButton;

namespace quillet {

class CaptionLabel;
class UiServices;

// The program's one window: it shows the chosen database, its locking mode, and carries
// the workflow in its handlers (start-up, browse, check, change to record-level locking).
class frmDatabaseLocking : public QWidget {
  Q_OBJECT

 public:
  explicit frmDatabaseLocking(UiServices& ui, QWidget* parent = nullptr);
  ~frmDatabaseLocking() override;

  // The database the window keeps open, or none. For inspection (tests, diagnostics);
  // only the handlers replace it.
  const DatabasePtr& currentDatabase() const { return CurrentDatabase; }

 public slots:
  void Form_Load();
  void cmdBrowse_Click();
  void cmdCheckLocking_Click();
  void cmdChangeLocking_Click();
  void lblDatabase_Change();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void PlaceControlsShowingTexts();
  void LetOnlyButtonsTakeFocus();
  double TwipsPerPixelShowingTexts() const;
  Status OpenDatabaseFile(const QString& path);
  Status CloseCurrentDatabase();
  void ReopenWithRecordLevelLocking();
  void ReportFailure(const QString& task, const Status& status);

  UiServices& ui_;
  DatabasePtr CurrentDatabase;
  // Set once the window has been closed: an operation still running inside the timed
  // wait then ends without a word and without opening anything again.
  bool closed_ = false;

  QLabel* lblDatabaseDesc = nullptr;
  CaptionLabel* lblDatabase = nullptr;
  QPushButton* cmdBrowse = nullptr;
  QPushButton* cmdCheckLocking = nullptr;
  CaptionLabel* lblDatabaseLockingMode = nullptr;
  QPushButton* cmdChangeLocking = nullptr;
};

}  // namespace quillet
