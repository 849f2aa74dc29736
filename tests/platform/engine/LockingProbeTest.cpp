// GetLockingMode over the real engine: the mode in effect, and -1 for every failure,
// with the trace line the failure leaves when the trace log is on.

#include <unistd.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTest>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"
#include "common/TraceLog.h"
#include "platform/ErrObject.h"
#include "platform/engine/JetSession.h"

using namespace quillet;
using namespace quillet::test;

class LockingProbeTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void noDatabaseIsUndetermined();
  void databaseWithoutANameIsUndetermined();
  void pageLevelByDefault();
  void recordLevelWhenAnotherOpenedItSoFirst();
  void unopenableFileIsUndeterminedAndTraced_data();
  void unopenableFileIsUndeterminedAndTraced();
  void probeLeavesNothingBehind();

 private:
  QString TraceText() const;
  std::unique_ptr<QTemporaryDir> logFolder_;
};

void LockingProbeTest::init() {
  logFolder_ = std::make_unique<QTemporaryDir>();
  qputenv("XDG_STATE_HOME", logFolder_->path().toLocal8Bit());
  LogName = QStringLiteral("probe");
  LogLevel = -1;  // trace everything
}

void LockingProbeTest::cleanup() {
  LogLevel = 0;
  logFolder_.reset();
}

QString LockingProbeTest::TraceText() const {
  QFile file(QDir(logFolder_->path())
                 .filePath("probe." + QDate::currentDate().toString("yyyyMMdd") + ".log"));
  if (!file.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(file.readAll());
}

void LockingProbeTest::noDatabaseIsUndetermined() {
  QCOMPARE(GetLockingMode(nullptr), -1);
  QCOMPARE(TraceText(), QString());  // returns before creating any connection
  QCOMPARE(Err().Number, 0);
}

void LockingProbeTest::databaseWithoutANameIsUndetermined() {
  auto nameless = std::make_shared<Database>(nullptr);
  QCOMPARE(nameless->Name(), std::string());
  QCOMPARE(GetLockingMode(nameless), -1);
  QCOMPARE(TraceText(), QString());
}

void LockingProbeTest::pageLevelByDefault() {
  TempFolder folder;
  DatabasePtr database;
  QVERIFY(OpenDao(folder.database("plain.mdb"), &database).ok());
  QCOMPARE(GetLockingMode(database), 0);
  QVERIFY(TraceText().contains("Creating ADO Connection"));
  QVERIFY(!TraceText().contains("Failed - "));
}

void LockingProbeTest::recordLevelWhenAnotherOpenedItSoFirst() {
  TempFolder folder;
  const std::string path = folder.database("shared.mdb");
  OtherProcess other({"hold", path, "--record"});
  QVERIFY(other.firstLine().has_value());

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(GetLockingMode(database), 1);  // though our own handle asked for nothing
}

// The database handle is open, but its name no longer leads to an openable database.
void LockingProbeTest::unopenableFileIsUndeterminedAndTraced_data() {
  QTest::addColumn<QString>("how");
  QTest::addColumn<QString>("traced");
  QTest::newRow("deleted") << QStringLiteral("deleted") << QStringLiteral("Failed - Could not find file '%1'.");
  QTest::newRow("replaced by text") << QStringLiteral("text")
                                    << QStringLiteral("Failed - Unrecognized database format '%1'.");
  QTest::newRow("held exclusively") << QStringLiteral("exclusive")
                                    << QStringLiteral("Failed - Could not use '%1'; file already in use.");
}

void LockingProbeTest::unopenableFileIsUndeterminedAndTraced() {
  QFETCH(QString, how);
  QFETCH(QString, traced);
  TempFolder folder;
  const std::string path = folder.database("going.mdb");
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());

  std::unique_ptr<OtherProcess> other;
  if (how == "deleted") QCOMPARE(::unlink(path.c_str()), 0);
  if (how == "text") {
    QCOMPARE(::unlink(path.c_str()), 0);
    folder.write("going.mdb", "just some text\n");
  }
  if (how == "exclusive") {
    QVERIFY(database->Close().ok());  // the window's handle is closed, the name remains
    other = std::make_unique<OtherProcess>(std::vector<std::string>{"hold", path, "--exclusive"});
    QVERIFY(other->firstLine().has_value());
  }

  QCOMPARE(GetLockingMode(database), -1);
  QVERIFY2(TraceText().contains(traced.arg(QString::fromStdString(path))), qPrintable(TraceText()));
  QCOMPARE(Err().Number, 0);  // the probe swallows the failure
}

void LockingProbeTest::probeLeavesNothingBehind() {
  TempFolder folder;
  const std::string path = folder.database("probe.mdb");
  const std::string lockFile = folder.file("probe.ldb");
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  for (int i = 0; i < 300; ++i) QCOMPARE(GetLockingMode(database), 0);
  QCOMPARE(SizeOf(lockFile), off_t{2 * 64});  // ours and one reused slot for the probe
  QVERIFY(database->Close().ok());
  QVERIFY(!Exists(lockFile));
  DatabasePtr exclusive;
  QVERIFY(OpenDao(path, &exclusive, true).ok());
}

QTEST_GUILESS_MAIN(LockingProbeTest)
#include "LockingProbeTest.moc"
