#pragma once

#include <QApplication>
#include <QPushButton>

#include "app/CaptionLabel.h"
#include "app/frmDatabaseLocking.h"
#include "common/Registry.h"
#include "platform/registry/RegistryStore.h"
#include "platform/vb/LocalBytes.h"
#include "support/EngineTestUtil.h"
#include "support/RecordingUi.h"

namespace quillet::test {

// Written out here rather than taken from the program, so that a changed text is caught.
inline const QString kSelectDatabase = "Select database...";
inline const QString kPageLevel = "Information: The database is using 'Page Level' locking.";
inline const QString kRecordLevel = "Information: The database is using 'Record Level' locking.";
inline const QString kCannotBeFound =
    "Information: The type of locking the database is using cannot be found.";
inline const QString kLockFileWarning =
    "Warning: This Database already appears to be open by another program either "
    "locally or on another computer, so you will probably be unable to to change "
    "the Locking Type!";

// The window's report of a failure: the task, the engine's text and its number.
inline QString Report(const QString& task, int number, const QString& text) {
  return QString(
             "There was a problem %1 and the error's description was reported as : \n\n\"%2\" (%3)")
      .arg(task, text)
      .arg(number);
}

// What another workstation sees: the line `quilletctl check` prints.
inline QString CheckFromAnotherProcess(const QString& database) {
  return QString::fromStdString(OtherProcess({"check", ToLocalBytes(database)}).output()).trimmed();
}

// cleanup() names the top-level widgets a test left behind to stand over the next one's.
inline QList<QWidget*> TopLevelWidgets() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return QApplication::topLevelWidgets();
}
inline QString LeftBehind(QList<QWidget*>& before) {
  QStringList names;
  for (QWidget* widget : TopLevelWidgets())
    if (!before.contains(widget))
      names << widget->metaObject()->className() + (" " + widget->objectName());
  before = TopLevelWidgets();
  return names.join(", ");
}

// A temporary folder, the real settings store in it, the window on recording (or given) services.
class WindowHarness {
 public:
  explicit WindowHarness(UiServices* services = nullptr) : services_(services) {
    RegistryStore::SetPath(ToLocalBytes(path("registry.sqlite3")));
  }
  ~WindowHarness() { RegistryStore::SetPath(RegistryStore::DefaultPath()); }

  QString path(const QString& name) const { return Q(dir_.file(name.toStdString())); }
  QString database(const QString& name = QStringLiteral("Sales.mdb")) const {
    return Q(dir_.database(name.toStdString()));
  }
  QString file(const QString& name, const QByteArray& bytes) const {
    return Q(dir_.write(name.toStdString(), bytes));
  }

  // The path the previous run left behind; "<none>" when unset.
  void remember(const QString& database) {
    SaveRegistryString(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("DBFilename"), database, {});
  }
  QString remembered() const {
    return GetRegistryString(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("DBFilename"),
                             QStringLiteral("<none>"));
  }

  frmDatabaseLocking& start() {
    window_ = std::make_unique<frmDatabaseLocking>(services_ != nullptr ? *services_ : ui);
    window_->Form_Load();
    return *window_;
  }
  frmDatabaseLocking& window() { return *window_; }
  const DatabasePtr& current() const { return window_->currentDatabase(); }

  CaptionLabel* label(const char* name) const { return window_->findChild<CaptionLabel*>(name); }
  QString databaseCaption() const { return label("lblDatabase")->caption(); }
  QString modeCaption() const { return label("lblDatabaseLockingMode")->caption(); }
  QPushButton* browse() const { return window_->findChild<QPushButton*>("cmdBrowse"); }
  QPushButton* check() const { return window_->findChild<QPushButton*>("cmdCheckLocking"); }
  QPushButton* change() const { return window_->findChild<QPushButton*>("cmdChangeLocking"); }
  void click(QPushButton* b) const { QTest::mouseClick(b, Qt::LeftButton); }

  QStringList messages() const {
    QStringList texts;
    for (const RecordingUi::Message& message : ui.messages) texts << message.text;
    return texts;
  }

  // Check and change are enabled together or not at all; "disagree" catches them apart.
  QString actions() const {
    if (check()->isEnabled() != change()->isEnabled()) return QStringLiteral("disagree");
    return check()->isEnabled() ? QStringLiteral("enabled") : QStringLiteral("disabled");
  }

  // Browses, the dialog answering `chosen`, or Cancel for a null text.
  void browseTo(const QString& chosen) {
    ui.answerOpenWith(chosen);
    click(browse());
  }

  RecordingUi ui;

 private:
  inline static const QString kKey = QStringLiteral("SOFTWARE\\Oxtaro\\Utils\\Quillet");

  UiServices* services_;
  static QString Q(const std::string& path) { return QString::fromStdString(path); }

  TempFolder dir_;
  std::unique_ptr<frmDatabaseLocking> window_;
};

}  // namespace quillet::test
