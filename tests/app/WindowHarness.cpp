#include "WindowHarness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QProcess>
#include <QTest>

#include "common/GeneralConstants.h"
#include "common/Registry.h"
#include "platform/ErrObject.h"
#include "platform/registry/RegistryStore.h"
#include "support/Fixtures.h"

namespace quillet::test {

const QString kSelectDatabase = QStringLiteral("Select database...");
const QString kPageLevel =
    QStringLiteral("Information: The database is using 'Page Level' locking.");
const QString kRecordLevel =
    QStringLiteral("Information: The database is using 'Record Level' locking.");
const QString kModeUnknown =
    QStringLiteral("Information: The type of locking the database is using cannot be found.");
const QString kLockFileWarning = QStringLiteral(
    "Warning: This Database already appears to be open by another program either locally or "
    "on another computer, so you will probably be unable to to change the Locking Type!");
const QString kAlreadyRecordLevel =
    QStringLiteral("Your database is already using Record Level Locking");
const QString kChangedToRecordLevel = QStringLiteral(
    "Your database has successfully been changed to Record Level Locking\n\nHowever, this "
    "will only 'stick' until the database is closed on all workstations at which point it "
    "will revert to Page Level Locking.");
const QString kNotChangedToRecordLevel = QStringLiteral(
    "Your database could not be changed to Record Level Locking!\n\nYou should check that "
    "the database was closed on all workstations before attempting to change the locking "
    "again.");

namespace {

const QString kRegistryKey = QStringLiteral("SOFTWARE\\Oxtaro\\Utils\\Quillet");
const QString kNone = QStringLiteral("<none>");

}  // namespace

WindowHarness::WindowHarness(UiServices* services) : services_(services) {
  if (!dir_.isValid()) qFatal("cannot create a temporary folder");
  RegistryStore::SetPath(ToLocalBytes(dir_.filePath(QStringLiteral("registry.sqlite3"))));
}

WindowHarness::~WindowHarness() {
  window_.reset();
  RegistryStore::SetPath(RegistryStore::DefaultPath());
}

QString WindowHarness::path(const QString& name) const { return dir_.filePath(name); }

void WindowHarness::remember(const QString& databasePath) {
  SaveRegistryString(HKEY_LOCAL_MACHINE, kRegistryKey, QStringLiteral("DBFilename"),
                     databasePath, QString());
}

QString WindowHarness::remembered() const {
  return GetRegistryString(HKEY_LOCAL_MACHINE, kRegistryKey, QStringLiteral("DBFilename"), kNone);
}

frmDatabaseLocking& WindowHarness::start() {
  window_ = std::make_unique<frmDatabaseLocking>(services_ != nullptr ? *services_ : ui);
  window_->Form_Load();
  return *window_;
}

QString WindowHarness::databaseCaption() const { return label("lblDatabase")->caption(); }
QString WindowHarness::modeCaption() const { return label("lblDatabaseLockingMode")->caption(); }

QString WindowHarness::actions() const {
  if (check()->isEnabled() != change()->isEnabled()) return QStringLiteral("disagree");
  return check()->isEnabled() ? QStringLiteral("enabled") : QStringLiteral("disabled");
}

void WindowHarness::browseTo(const QString& path) {
  if (path.isNull()) {
    ui.answerOpenWithCancel();
  } else {
    ui.answerOpenWith(path);
  }
  QTest::mouseClick(browse(), Qt::LeftButton);
}

QPushButton* WindowHarness::button(const char* name) const {
  auto* found = window_->findChild<QPushButton*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("no button %s", name);
  return found;
}

CaptionLabel* WindowHarness::label(const char* name) const {
  auto* found = window_->findChild<CaptionLabel*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("no label %s", name);
  return found;
}

ino_t InodeOf(const QString& path) {
  struct stat info {};
  return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

void HardLink(const QString& from, const QString& to) {
  if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
    qFatal("cannot link %s", qPrintable(from));
  }
}

void WhenModalShown(std::function<void(QWidget*)> act) {
  auto* poll = new QTimer(QCoreApplication::instance());
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act = std::move(act)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    act(modal);
  });
  poll->start(20);
}

QString CheckFromAnotherProcess(const QString& databasePath) {
  QProcess process;
  process.start(QuilletctlPath(), {QStringLiteral("check"), databasePath});
  if (!process.waitForFinished(20000)) qFatal("quilletctl check did not finish");
  return QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError())
      .trimmed();
}

}  // namespace quillet::test
