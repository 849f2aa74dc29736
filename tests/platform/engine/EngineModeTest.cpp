// The mode of a database is chosen by its first opener and shared by every later one, in
// this process or in another, until the last one closes.

#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"
#include "platform/engine/Ado.h"
#include "platform/engine/Dao.h"

using namespace quillet;
using namespace quillet::test;

class EngineModeTest : public QObject {
  Q_OBJECT

 private slots:
  void firstPageOpenerMakesALaterRecordRequestJoinPage();
  void firstRecordOpenerMakesALaterDaoOpenReadRecord();
  void modeOutlivesItsFirstOpenerUntilTheLastCloses();
  void connectionsOfOneProcessAreIndependent();
  void otherProcessFirstDecides_data();
  void otherProcessFirstDecides();
  void otherProcessJoinsOurMode();
  void killingEveryHolderLetsTheNextOpenerDecide();
  void foreignLocksNeverHang();
};

void EngineModeTest::firstPageOpenerMakesALaterRecordRequestJoinPage() {
  TempFolder folder;
  const std::string path = folder.database("pages.mdb");

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(GetLockingMode(database), 0);

  Connection connection;
  connection.SetProvider(kJetOleDbProvider);
  QVERIFY(connection.SetProperty(kPropDataSource, path).ok());
  QVERIFY(connection.SetProperty(kPropLockingMode, int32_t{1}).ok());
  QCOMPARE(ModeOf(connection), 1);  // before Open: what was asked
  QVERIFY(connection.Open().ok());
  QCOMPARE(ModeOf(connection), 0);  // after Open: what is in effect
  QCOMPARE(GetLockingMode(database), 0);
}

void EngineModeTest::firstRecordOpenerMakesALaterDaoOpenReadRecord() {
  TempFolder folder;
  const std::string path = folder.database("records.mdb");

  Connection first;
  QVERIFY(OpenAdo(first, path, 1).ok());
  QCOMPARE(ModeOf(first), 1);

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(GetLockingMode(database), 1);

  Connection second;
  QVERIFY(OpenAdo(second, path, 0).ok());
  QCOMPARE(ModeOf(second), 1);
}

void EngineModeTest::modeOutlivesItsFirstOpenerUntilTheLastCloses() {
  TempFolder folder;
  const std::string path = folder.database("session.mdb");
  const std::string lockFile = folder.file("session.ldb");

  DatabasePtr database;
  {
    Connection first;
    QVERIFY(OpenAdo(first, path, 1).ok());
    QVERIFY(OpenDao(path, &database).ok());
    QVERIFY(first.Close().ok());
  }
  QCOMPARE(GetLockingMode(database), 1);  // the DAO handle keeps the session alive
  QVERIFY(Exists(lockFile));

  QVERIFY(database->Close().ok());
  QVERIFY(!Exists(lockFile));  // the last one out deletes it

  DatabasePtr next;
  QVERIFY(OpenDao(path, &next).ok());
  QCOMPARE(GetLockingMode(next), 0);  // a new session, decided afresh
}

// Closing one connection must not drop the locks of another connection of the same
// process to the same file (which classic POSIX record locks would do).
void EngineModeTest::connectionsOfOneProcessAreIndependent() {
  TempFolder folder;
  const std::string path = folder.database("twice.mdb");

  Connection recordLevel;
  QVERIFY(OpenAdo(recordLevel, path, 1).ok());
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QVERIFY(recordLevel.Close().ok());

  OtherProcess other({"check", path});
  const std::optional<std::string> seen = other.firstLine();
  QVERIFY(seen.has_value());
  QCOMPARE(QString::fromStdString(*seen),
           QStringLiteral("Information: The database is using 'Record Level' locking."));
  QCOMPARE(other.wait(), 0);
  QVERIFY(Exists(folder.file("twice.ldb")));

  // An exclusive open from elsewhere must still see us there.
  OtherProcess exclusive({"hold", path, "--exclusive"});
  QCOMPARE(exclusive.wait(), 1);
  QVERIFY(exclusive.standardError().find("error 3045") != std::string::npos);
}

void EngineModeTest::otherProcessFirstDecides_data() {
  QTest::addColumn<QString>("request");
  QTest::addColumn<int>("mode");
  QTest::newRow("page") << QStringLiteral("--page") << 0;
  QTest::newRow("record") << QStringLiteral("--record") << 1;
}

void EngineModeTest::otherProcessFirstDecides() {
  QFETCH(QString, request);
  QFETCH(int, mode);
  TempFolder folder;
  const std::string path = folder.database("other.mdb");

  OtherProcess other({"hold", path, request.toStdString()});
  QVERIFY(other.firstLine().has_value());

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(GetLockingMode(database), mode);
  for (int32_t asked : {0, 1}) {
    Connection connection;
    QVERIFY(OpenAdo(connection, path, asked).ok());
    QCOMPARE(ModeOf(connection), mode);
  }

  QCOMPARE(other.stop(), 0);
  QCOMPARE(GetLockingMode(database), mode);  // we are still there: the session goes on
}

void EngineModeTest::otherProcessJoinsOurMode() {
  TempFolder folder;
  const std::string path = folder.database("ours.mdb");
  Connection ours;
  QVERIFY(OpenAdo(ours, path, 1).ok());

  OtherProcess pageRequest({"hold", path, "--page"});
  const std::optional<std::string> line = pageRequest.firstLine();
  QVERIFY(line.has_value());
  QCOMPARE(QString::fromStdString(*line),
           QString::fromStdString("holding " + path + " in Record Level mode"));
  QCOMPARE(pageRequest.stop(), 0);
}

// The kernel drops a dead process's locks, so a stale lock file (records and all) never
// keeps a stale mode alive.
void EngineModeTest::killingEveryHolderLetsTheNextOpenerDecide() {
  TempFolder folder;
  const std::string path = folder.database("crash.mdb");
  const std::string lockFile = folder.file("crash.ldb");

  OtherProcess first({"hold", path, "--record"});
  QVERIFY(first.firstLine().has_value());
  OtherProcess second({"hold", path, "--page"});
  const std::optional<std::string> joined = second.firstLine();
  QVERIFY(joined.has_value());
  QVERIFY(joined->find("Record Level") != std::string::npos);

  first.kill();
  second.kill();
  QVERIFY(SizeOf(lockFile) >= 2 * 64);

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(GetLockingMode(database), 0);
  Connection asksRecord;
  QVERIFY(OpenAdo(asksRecord, path, 1).ok());
  QCOMPARE(ModeOf(asksRecord), 0);

  QVERIFY(asksRecord.Close().ok());
  QVERIFY(database->Close().ok());
  QVERIFY(!Exists(lockFile));  // stale records do not keep it alive
}

// Some other program locks a whole file and sits on it (as a backup agent, or a Kill that
// was stopped half-way, might). Opening and closing must give up within a few seconds
// instead of waiting for it.
void EngineModeTest::foreignLocksNeverHang() {
  TempFolder folder;
  const std::string path = folder.database("foreign.mdb");
  const std::string lockFile = folder.file("foreign.ldb");
  auto lockWholeFile = [](const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &lock) != 0) qFatal("cannot lock %s", file.c_str());
    return fd;
  };
  QElapsedTimer timer;

  int foreign = lockWholeFile(path);
  timer.start();
  DatabasePtr database;
  QCOMPARE(OpenDao(path, &database).number(), 3050);
  QVERIFY(timer.elapsed() < 10000);
  ::close(foreign);

  QVERIFY(OpenDao(path, &database).ok());
  foreign = lockWholeFile(path);
  timer.restart();
  QVERIFY(database->Close().ok());
  QVERIFY(timer.elapsed() < 10000);
  QVERIFY(Exists(lockFile));  // left behind like a crashed connection's, for the next opener
  ::close(foreign);

  foreign = lockWholeFile(lockFile);
  timer.restart();
  Connection connection;
  const Status refused = OpenAdo(connection, path, 1);
  QCOMPARE(refused.number(), kAdoProviderError);
  QCOMPARE(QString::fromStdString(refused.description()), QStringLiteral("Could not lock file."));
  QVERIFY(timer.elapsed() < 10000);
  ::close(foreign);

  QVERIFY(OpenAdo(connection, path, 1).ok());
  QCOMPARE(ModeOf(connection), 1);
  QVERIFY(connection.Close().ok());
  QVERIFY(!Exists(lockFile));
}

QTEST_GUILESS_MAIN(EngineModeTest)
#include "EngineModeTest.moc"
