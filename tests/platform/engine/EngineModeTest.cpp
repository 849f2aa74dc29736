// The mode of a database is chosen by its first opener and shared by every later one, in
// this process or in another, until the last one closes; an exclusive open has the file
// to itself.

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"

using namespace quillet;
using namespace quillet::test;

namespace {
// A first opener: a DAO or ADO connection here, or quilletctl holding the file elsewhere.
struct Opener {
  Opener(const QString& kind, const std::string& path, int mode, bool exclusive) {
    if (kind == "DAO") OpenDao(path, &dao, exclusive);
    if (kind == "ADO") OpenAdo(ado, path, mode, exclusive ? adModeShareExclusive : 0);
    std::vector<std::string> args{"hold", path, mode ? "--record" : "--page"};
    if (exclusive) args.insert(args.end(), {"--exclusive", "--read-only"});
    if (kind == "elsewhere") other = std::make_unique<OtherProcess>(args);
  }
  bool holds() { return dao || ado.IsOpen() || (other && other->line().starts_with("holding")); }
  void leave(int signal = SIGTERM) {
    dao.reset();
    ado.Close();
    if (other) other->stop(signal);
  }
  DatabasePtr dao;
  Connection ado;
  std::unique_ptr<OtherProcess> other;
};
}  // namespace

class EngineModeTest : public QObject {
  Q_OBJECT

 private slots:
  void laterOpenersJoinTheFirstOpenersMode_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("mode");
    QTest::newRow("DAO here") << "DAO" << 0;
    QTest::newRow("ADO asking page here") << "ADO" << 0;
    QTest::newRow("ADO asking record here") << "ADO" << 1;
    QTest::newRow("page elsewhere") << "elsewhere" << 0;
    QTest::newRow("record elsewhere") << "elsewhere" << 1;
  }

  void laterOpenersJoinTheFirstOpenersMode() {
    QFETCH(QString, first);
    QFETCH(int, mode);
    TempFolder folder;
    const std::string path = folder.database("shared.mdb");
    Opener opener(first, path, mode, false);
    QVERIFY(opener.holds());

    // Whatever a later opener asks for, it reads the mode in effect; none may be exclusive.
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    QCOMPARE(GetLockingMode(database), mode);
    for (int32_t asked : {0, 1}) {
      Connection joiner;
      QVERIFY(OpenAdo(joiner, path, asked).ok());
      QCOMPARE(ModeOf(joiner), mode);
      Connection exclusive;
      QCOMPARE(OpenAdo(exclusive, path, asked, adModeShareExclusive).number(), kAdoProviderError);
    }
    DatabasePtr refused;
    QCOMPARE(OpenDao(path, &refused, true).number(), 3045);
    OtherProcess joiner({"hold", path, mode ? "--page" : "--record"});
    QCOMPARE(joiner.line(), "holding " + path + (mode ? " in Record Level mode" : " in Page Level mode"));
    joiner.stop();

    // Closing one connection must not drop another's locks on the same file (classic POSIX
    // record locks would): the session and our presence are still seen from elsewhere.
    opener.leave();
    QCOMPARE(GetLockingMode(database), mode);
    QCOMPARE(OtherProcess({"check", path}).output(), std::string("Information: The database is using '") +
                                                         (mode ? "Record" : "Page") + " Level' locking.\n");
    QVERIFY(OtherProcess({"hold", path, "--exclusive"}).output().starts_with("error 3045: "));
    QVERIFY(database->Close().ok());
    QVERIFY(!Exists(folder.file("shared.ldb")));  // the last one out deletes it
    QVERIFY(OpenDao(path, &database).ok());
    QCOMPARE(GetLockingMode(database), 0);  // a new session, decided afresh
  }

  // The kernel drops a dead process's locks: a stale lock file keeps no mode alive, keeps
  // its stale records, and goes with the next session.
  void killedHoldersLeaveNoMode() {
    TempFolder folder;
    const std::string path = folder.database("crash.mdb");
    const std::string lockFile = folder.file("crash.ldb");
    Opener first("elsewhere", path, 1, false), second("elsewhere", path, 0, false);
    QVERIFY(first.holds() && second.holds());
    first.leave(SIGKILL);
    second.leave(SIGKILL);
    const QByteArray stale = ReadBytes(lockFile).left(2 * 64);
    QCOMPARE(stale.count("Admin"), 2);

    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    QCOMPARE(GetLockingMode(database), 0);
    Connection asksRecord;
    QVERIFY(OpenAdo(asksRecord, path, 1).ok());
    QCOMPARE(ModeOf(asksRecord), 0);
    QVERIFY(ReadBytes(lockFile).startsWith(stale));
    QVERIFY(asksRecord.Close().ok());
    QVERIFY(database->Close().ok());
    QVERIFY(!Exists(lockFile));
  }

  void exclusiveHolderShutsEveryoneOut_data() {
    QTest::addColumn<QString>("holder");
    QTest::addColumn<int>("mode");
    QTest::newRow("DAO") << "DAO" << 0;
    QTest::newRow("ADO asking record") << "ADO" << 1;
    QTest::newRow("read-only elsewhere") << "elsewhere" << 1;
  }

  void exclusiveHolderShutsEveryoneOut() {
    QFETCH(QString, holder);
    QFETCH(int, mode);
    TempFolder folder;
    const std::string path = folder.database("alone.mdb");
    Opener exclusive(holder, path, mode, true);
    QVERIFY(exclusive.holds());
    if (holder == "ADO") QCOMPARE(ModeOf(exclusive.ado), 1);  // alone, it is the first opener
    QVERIFY(!Exists(folder.file("alone.ldb")));  // an exclusive open needs no lock file

    const std::string inUse = "Could not use '" + path + "'; file already in use.";
    for (bool alone : {false, true}) {
      DatabasePtr database;
      QCOMPARE(Failure(OpenDao(path, &database, alone)), "3045: " + inUse);
      Connection connection;
      QCOMPARE(Failure(OpenAdo(connection, path, 1, alone ? adModeShareExclusive : 0)), "-2147467259: " + inUse);
    }
    if (exclusive.dao) QCOMPARE(GetLockingMode(exclusive.dao), -1);  // the probe cannot get in either
    if (!exclusive.other)
      QCOMPARE(OtherProcess({"hold", path, "--record"}).output(), "error -2147467259: " + inUse + "\n");

    exclusive.leave(SIGKILL);  // closed, or killed: the file is free again
    DatabasePtr shared;
    QVERIFY(OpenDao(path, &shared).ok());
  }

  // Another program sits on a lock over a whole file (a backup agent, a stopped process):
  // opening gives up after a bounded wait instead of waiting for it.
  void foreignLocksNeverHang() {
    TempFolder folder;
    const std::string path = folder.database("foreign.mdb");
    for (const std::string& locked : {path, folder.file("foreign.ldb")}) {
      const int fd = ::open(locked.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      struct flock lock {};
      lock.l_type = F_RDLCK;  // from byte 0 to the end of the file
      QCOMPARE(::fcntl(fd, F_OFD_SETLK, &lock), 0);
      DatabasePtr database;
      QCOMPARE(Failure(OpenDao(path, &database)), std::string("3050: Could not lock file."));
      ::close(fd);
    }
  }
};

QTEST_GUILESS_MAIN(EngineModeTest)
#include "EngineModeTest.moc"
