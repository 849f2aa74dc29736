#include "app/frmDatabaseLocking.h"

#include <QCloseEvent>
#include <QFile>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <memory>
#include <utility>

#include "app/Artwork.h"
#include "app/CaptionLabel.h"
#include "app/TwipsLayout.h"
#include "app/probe/LockingProbe.h"
#include "app/probe/RecordLevelOpen.h"
#include "common/ErrorReport.h"
#include "common/FileHelpers.h"
#include "common/GeneralConstants.h"
#include "common/Registry.h"
#include "common/Timing.h"
#include "common/TraceLog.h"
#include "platform/engine/Ado.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/SambaServing.h"
#include "platform/uiservices/UiServices.h"
#include "platform/vb/ErrObject.h"
#include "platform/vb/LocalBytes.h"

namespace quillet {

namespace {

const char* const kWindowTitle = "Database Locking";
const char* const kDatabaseDescText = "Database File:";
const char* const kSelectDatabaseText = "Select database...";
const char* const kChangeLockingText = "Change to \"Record Level Locking\"";

const char* const kDialogTitle = "Select Database";
const char* const kDialogFilter = "Database Files (*.MDB)|*.MDB";

const char* const kLockFileInUseWarning =
    "Warning: This Database already appears to be open by another program either locally or "
    "on another computer, so you will probably be unable to to change the Locking Type!";
const char* const kAlreadyRecordLevel = "Your database is already using Record Level Locking";
const char* const kChangedToRecordLevel =
    "Your database has successfully been changed to Record Level Locking\n\n"
    "However, this will only 'stick' until the database is closed on all workstations at "
    "which point it will revert to Page Level Locking.";
const char* const kNotChangedToRecordLevel =
    "Your database could not be changed to Record Level Locking!\n\n"
    "You should check that the database was closed on all workstations before attempting to "
    "change the locking again.";

// The closed database's locks are given two seconds to clear before it is reopened.
constexpr double kSecondsBeforeReopen = 2;

// The picture buttons' 16x16 pictures, in twips at the design's scale.
constexpr int kPictureTwips = 240;

// The window's design in twips: its client area and each control's left, top, width and
// height. "Database File:" sizes itself to its text; the design left it 1020 twips.
struct DesignRect {
  int left, top, width, height;
};
constexpr DesignRect kClientArea{0, 0, 6810, 1275};
constexpr DesignRect kDatabaseDescArea{120, 60, 1020, 195};
constexpr DesignRect kDatabaseArea{1200, 60, 4695, 315};
constexpr DesignRect kBrowseArea{5940, 60, 375, 375};
constexpr DesignRect kCheckLockingArea{6360, 60, 375, 375};
constexpr DesignRect kLockingModeArea{1200, 480, 4695, 255};
constexpr DesignRect kChangeLockingArea{1200, 840, 4695, 315};

const char* const kBrowseName = "Browse for a database";
const char* const kCheckLockingName = "Check the locking mode";

QString RegistryKey() { return QString::fromLatin1(kRegistryBaseKey) + kRegistryAppKey; }

// Picture buttons have no text and, by design, no tool tip: screen readers say their names
// and, as the description, their shortcuts (a disabled button ignores its shortcut).
QPushButton* PictureButton(QWidget* parent, const char* objectName, const QIcon& picture,
                           const char* accessibleName, const QKeySequence& shortcut) {
  auto* button = new QPushButton(parent);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setIcon(picture);
  button->setAccessibleName(QString::fromLatin1(accessibleName));
  button->setShortcut(shortcut);
  button->setAccessibleDescription(QStringLiteral("Shortcut: ") +
                                   shortcut.toString(QKeySequence::NativeText));
  return button;
}

}  // namespace

// A fixed dialog frame: a title and a close control, no minimize or maximize, no resizing.
frmDatabaseLocking::frmDatabaseLocking(UiServices& ui, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      ui_(ui) {
  setObjectName(QStringLiteral("frmDatabaseLocking"));
  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setWindowIcon(ApplicationIcon());
  CreateControls();
}

// Releasing the handle closes the file, the last thing the window does.
frmDatabaseLocking::~frmDatabaseLocking() = default;

void frmDatabaseLocking::CreateControls() {
  lblDatabaseDesc = new QLabel(QString::fromLatin1(kDatabaseDescText), this);
  lblDatabaseDesc->setObjectName(QStringLiteral("lblDatabaseDesc"));

  // A long path keeps its file name in view; a long information line its beginning.
  lblDatabase = new CaptionLabel(Qt::ElideMiddle, this);
  lblDatabase->setObjectName(QStringLiteral("lblDatabase"));
  lblDatabase->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  lblDatabase->setLineWidth(1);
  lblDatabase->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  cmdBrowse = PictureButton(this, "cmdBrowse", OpenFolderPicture(), kBrowseName,
                            QKeySequence(Qt::CTRL | Qt::Key_O));
  cmdCheckLocking = PictureButton(this, "cmdCheckLocking", CheckLockingPicture(), kCheckLockingName,
                                  QKeySequence(Qt::Key_F5));
  cmdCheckLocking->setEnabled(false);

  lblDatabaseLockingMode = new CaptionLabel(Qt::ElideRight, this);
  lblDatabaseLockingMode->setObjectName(QStringLiteral("lblDatabaseLockingMode"));
  lblDatabaseLockingMode->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  lblDatabaseLockingMode->setLineWidth(1);
  lblDatabaseLockingMode->setAlignment(Qt::AlignCenter);

  cmdChangeLocking = new QPushButton(QString::fromLatin1(kChangeLockingText), this);
  cmdChangeLocking->setObjectName(QStringLiteral("cmdChangeLocking"));
  cmdChangeLocking->setEnabled(false);

  PlaceControlsShowingTexts();
  lblDatabaseLockingMode->setCaption(QString::fromLatin1(kSelectDatabaseText));
  LetOnlyButtonsTakeFocus();

  connect(cmdBrowse, &QPushButton::clicked, this, &frmDatabaseLocking::cmdBrowse_Click);
  connect(cmdCheckLocking, &QPushButton::clicked, this, &frmDatabaseLocking::cmdCheckLocking_Click);
  connect(cmdChangeLocking, &QPushButton::clicked, this,
          &frmDatabaseLocking::cmdChangeLocking_Click);
  connect(lblDatabase, &CaptionLabel::Change, this, &frmDatabaseLocking::lblDatabase_Change);
}

// The design's places, at the largest scale that shows every text whole in the user's font.
void frmDatabaseLocking::PlaceControlsShowingTexts() {
  const TwipsLayout twips(TwipsPerPixelShowingTexts());
  const auto place = [&](QWidget* widget, const DesignRect& r) {
    widget->setGeometry(twips.rect(r.left, r.top, r.width, r.height));
  };
  setFixedSize(twips.size(kClientArea.width, kClientArea.height));
  lblDatabaseDesc->move(twips.point(kDatabaseDescArea.left, kDatabaseDescArea.top));
  lblDatabaseDesc->adjustSize();
  place(lblDatabase, kDatabaseArea);
  place(cmdBrowse, kBrowseArea);
  place(cmdCheckLocking, kCheckLockingArea);
  place(lblDatabaseLockingMode, kLockingModeArea);
  place(cmdChangeLocking, kChangeLockingArea);
  // The pictures are drawn from SVG: they grow with their buttons.
  const int picture = twips.pixels(kPictureTwips);
  for (QPushButton* button : {cmdBrowse, cmdCheckLocking}) {
    button->setIconSize(QSize(picture, picture));
  }
}

// No default button: Enter presses only the button that has the focus. Labels never take it.
void frmDatabaseLocking::LetOnlyButtonsTakeFocus() {
  for (QPushButton* button : {cmdBrowse, cmdCheckLocking, cmdChangeLocking}) {
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
  }
  for (QLabel* label : {lblDatabaseDesc, static_cast<QLabel*>(lblDatabase),
                        static_cast<QLabel*>(lblDatabaseLockingMode)}) {
    label->setFocusPolicy(Qt::NoFocus);
  }
  setTabOrder(cmdBrowse, cmdCheckLocking);
  setTabOrder(cmdCheckLocking, cmdChangeLocking);
}

// The user's font is kept; the scale follows it instead, the largest at which each of the
// design's texts fits the twips the design gives it, frames and margins included.
double frmDatabaseLocking::TwipsPerPixelShowingTexts() const {
  double twipsPerPixel = TwipsLayout::kDesignTwipsPerPixel;
  const auto fit = [&](int twips, int pixels) {
    twipsPerPixel = std::min(twipsPerPixel, TwipsLayout::Fitting(twips, pixels));
  };
  fit(kDatabaseDescArea.width, lblDatabaseDesc->sizeHint().width());
  for (const QString& text :
       {QString::fromLatin1(kSelectDatabaseText), LockingModeText(LockingMode::kUnknown),
        LockingModeText(LockingMode::kPage), LockingModeText(LockingMode::kRecord)}) {
    fit(kLockingModeArea.width, lblDatabaseLockingMode->widthShowingWhole(text));
  }
  // A path has no designed width, but its line must be tall enough for the font.
  const QFontMetrics metrics(font());
  fit(kDatabaseArea.height, metrics.height() + 2 * lblDatabase->frameWidth());
  fit(kLockingModeArea.height, metrics.height() + 2 * lblDatabaseLockingMode->frameWidth());
  fit(kChangeLockingArea.width, cmdChangeLocking->sizeHint().width());
  fit(kChangeLockingArea.height, cmdChangeLocking->sizeHint().height());
  return twipsPerPixel;
}

// Shows the window first, so that anything the opening has to say appears over it, then
// reopens the database remembered from the last run.
void frmDatabaseLocking::Form_Load() {
  if (closed_) return;  // closed before it was loaded: the program is ending
  show();
  const QString path = GetRegistryString(HKEY_LOCAL_MACHINE, RegistryKey(),
                                         QString::fromLatin1(kDBFilenameValue), QString());
  if (GetFileLength(path) > 0) {
    // A remembered file the engine refuses is reported, and the window stays usable with
    // the path shown and no database open.
    const Status status = OpenDatabaseFile(path);
    if (!status.ok()) ReportFailure(QStringLiteral("opening the database"), status);
  }
}

void frmDatabaseLocking::cmdBrowse_Click() {
  OpenFileRequest request;
  request.DialogTitle = QString::fromLatin1(kDialogTitle);
  request.Filter = QString::fromLatin1(kDialogFilter);
  request.FileName = lblDatabase->caption();
  request.CancelError = true;

  // Cancel, and any failure of the opening, leave the window as far as it got, silently.
  OnErrorResumeNext resumeNext;
  Err().Record(ui_.ShowOpen(request));
  if (Err().Number == 0 && !request.FileName.isEmpty()) {
    Err().Record(OpenDatabaseFile(request.FileName));
  }
}

// The buttons follow the file named in the label, not whether it could be opened.
void frmDatabaseLocking::lblDatabase_Change() {
  cmdChangeLocking->setEnabled(GetFileLength(lblDatabase->caption()) > 0);
  cmdCheckLocking->setEnabled(cmdChangeLocking->isEnabledTo(this));
}

void frmDatabaseLocking::cmdCheckLocking_Click() {
  if (!CurrentDatabase) return;
  lblDatabaseLockingMode->setCaption(LockingModeText(GetLockingMode(CurrentDatabase)));
  // The information line's texts cannot say why a mode is not found where the folder's
  // locks stay on this computer, or a Samba share here keeps them to itself, nor what to do;
  // its tooltip does.
  const std::string unseen = LocksUnseenReason(DatabaseLocksOf(CurrentDatabase->Name()));
  lblDatabaseLockingMode->setToolTip(QFile::decodeName(QByteArray::fromStdString(unseen)));
}

// Stops at the first failing step and returns it; the path is shown and remembered before
// the engine is asked, so a refused file still shows where the user pointed.
Status frmDatabaseLocking::OpenDatabaseFile(const QString& path) {
  if (Status closed = CloseCurrentDatabase(); !closed.ok()) return closed;

  // A lock file nobody holds is left over from a crash; one that is held means another
  // workstation has the database open. A file under that name that cannot be a lock file
  // (the database itself, another database, a hard link) is somebody's data: left alone.
  // Both are looked at in the database's folder, opened once, so that the file judged is
  // the file deleted, beside the database, even where someone renames folders meanwhile.
  const std::string databaseFile = ToLocalBytes(path);
  const std::string lockFile = LockFilePath(databaseFile);
  const FolderOf folder(databaseFile);
  const NameAt lockFileThere = folder.at(LockFilePath(folder.name()));
  if (GetFileLength(QFile::decodeName(QByteArray::fromStdString(lockFile))) > 0 && folder.valid() &&
      CouldBeLockFileOf(lockFileThere, folder.name())) {
    OnErrorResumeNext resumeNext;
    Err().Record(Kill(lockFileThere, lockFile));
    if (Err().Number != 0) ui_.MsgBox(QString::fromLatin1(kLockFileInUseWarning), vbExclamation);
  }

  lblDatabase->setCaption(path);
  SaveRegistryString(HKEY_LOCAL_MACHINE, RegistryKey(), QString::fromLatin1(kDBFilenameValue), path,
                     QString());

  // Closed while the warning was up: the program is ending, so nothing is opened again.
  if (closed_) return Status::OK();
  DatabasePtr database;
  if (Status opened = DBEngine::Instance().OpenDatabase(databaseFile, &database); !opened.ok()) {
    return opened;
  }
  CurrentDatabase = std::move(database);
  cmdCheckLocking_Click();
  return Status::OK();
}

// The handle is dropped even when Close fails: it holds nothing usable then, and keeping it
// would make every later open fail the same way. Dropping it closes whatever is left.
Status frmDatabaseLocking::CloseCurrentDatabase() {
  const DatabasePtr database = std::exchange(CurrentDatabase, nullptr);
  return database ? database->Close() : Status::OK();
}

// Makes this program the database's first opener, asking for record-level locking: close
// our own handle, let the locks clear, open through ADO with the locking mode set, reopen
// through DAO and keep that handle, then let the ADO connection go.
void frmDatabaseLocking::cmdChangeLocking_Click() {
  ui_.SetMousePointer(*this, vbHourglass);

  Status status;
  QString task;
  if (CurrentDatabase) {
    if (GetLockingMode(CurrentDatabase) == LockingMode::kRecord) {
      ui_.MsgBox(QString::fromLatin1(kAlreadyRecordLevel), vbInformation);
      ui_.SetMousePointer(*this, vbDefault);
      return;
    }
    status = CloseCurrentDatabase();
    task = QStringLiteral("closing the database");
  }
  if (status.ok()) {
    status = DBEngine::Instance().Idle(dbFreeLocks);
    task = QStringLiteral("freeing the database locks");
  }
  if (!status.ok()) {
    ReportFailure(task, status);
    ui_.SetMousePointer(*this, vbDefault);
    return;
  }

  // Window events are handled during the wait, clicks on this window's buttons included.
  // If the window is closed meanwhile, the program is ending: open nothing, say nothing.
  WaitSeconds(ui_, kSecondsBeforeReopen);
  if (!closed_) ReopenWithRecordLevelLocking();
  ui_.SetMousePointer(*this, vbDefault);
}

void frmDatabaseLocking::ReopenWithRecordLevelLocking() {
  OnErrorResumeNext resumeNext;
  const QString path = lblDatabase->caption();

  auto connection = std::make_unique<Connection>();
  Err().Record(OpenAskingForRecordLevel(connection.get(), ToLocalBytes(path)));
  if (Err().Number != 0) {
    connection.reset();  // let go of anything it opened before the user reads the report
    ReportError(ui_, QStringLiteral("opening the database (ADO)"), Err().Number);
    return;
  }

  // The ADO connection stays open until DAO has joined the record-level session.
  LogMessage(QStringLiteral("Opening database (DAO)"));
  DatabasePtr database;
  Err().Record(DBEngine::Instance().OpenDatabase(ToLocalBytes(path), &database));
  if (Err().Number != 0) {
    connection.reset();
    ReportError(ui_, QStringLiteral("opening the database (DAO)"), Err().Number);
    return;
  }
  CurrentDatabase = std::move(database);

  LogMessage(QStringLiteral("Closing database (ADO)"));
  Err().Record(connection->Close());
  connection.reset();

  if (Err().Number == 0) {
    if (GetLockingMode(CurrentDatabase) == LockingMode::kRecord) {
      ui_.MsgBox(QString::fromLatin1(kChangedToRecordLevel), vbInformation);
    } else {
      ui_.MsgBox(QString::fromLatin1(kNotChangedToRecordLevel), vbExclamation);
    }
    cmdCheckLocking_Click();
  }
}

// Reports a failure that stopped a handler, with the engine's number and description.
void frmDatabaseLocking::ReportFailure(const QString& task, const Status& status) {
  Err().Record(status);
  ReportError(ui_, task, status.number());
  Err().Clear();
}

// Closing the window ends the program. The database is let go now rather than at exit, so
// that an operation still inside its timed wait finds nothing to hold on to.
void frmDatabaseLocking::closeEvent(QCloseEvent* event) {
  closed_ = true;
  CurrentDatabase.reset();
  event->accept();
}

}  // namespace quillet
