// Another engine (support/ForeignJetPeer) shows only through its locks: ours must respect them.

#include <fcntl.h>

#include "platform/base/Posix.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockProtocol.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;
using posix::Call;
using posix::Target;

Q_DECLARE_METATYPE(quillet::posix::Call)
Q_DECLARE_METATYPE(quillet::posix::Target)

namespace {

constexpr int kRecord = 64;
const Target kGate{.bytes = posix::ByteRange{lockmap::kGate, 1}};
const Target kMarks{.bytes = posix::ByteRange{lockmap::kMarkBase, 2 * lockmap::kSlots}};
const Target kUserLocks{.bytes = posix::ByteRange{lockmap::kUserLockBase, lockmap::kSlots}};

// What `quilletctl users` lists ("slot\tcomputer\taccount\tstate" lines), or its error.
QString Users(const std::string& database) {
  OtherProcess users({"users", database});
  return QString::fromStdString(users.output() + users.errors()).trimmed();
}

}  // namespace

class ForeignEngineTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { posix::ClearFaults(); }

  // Wine: a classic lock, slot 0, NUL-padded; Samba: an OFD lock, slot 2, space-padded.
  void sharesTheDatabaseWithAnotherEngine_data() {
    Rows<QString>("lockKind", {{"Wine", "posix"}, {"Samba", "ofd"}});
  }
  void sharesTheDatabaseWithAnotherEngine() {
    QFETCH(QString, lockKind);
    const int slot = lockKind == "ofd" ? 2 : 0;
    const QString padding = slot ? "space" : "nul";
    TempFolder folder;
    const std::string path = folder.database("Sales.mdb");
    const std::string lockFile = folder.file("Sales.ldb");
    const QByteArray theirs = JetRecord("WS-ACCOUNTS", "clerk", padding == "space" ? ' ' : '\0');
    {
      ForeignPeer windows({QString::fromStdString(lockFile), QString::number(slot), "WS-ACCOUNTS",
                           "clerk", lockKind, padding});
      QVERIFY(windows.ready());
      DatabasePtr here;
      QVERIFY(OpenDao(path, &here).ok());
      Connection ado;
      QVERIFY(OpenAdo(ado, path, 1).ok());
      QCOMPARE(ReadBytes(lockFile).mid(slot * kRecord, kRecord), theirs);
      QStringList users;
      for (int s = 0; s < 3; ++s)
        users << QString("%1\t%2").arg(s).arg(s == slot ? "WS-ACCOUNTS\tclerk\tlive elsewhere"
                                                        : QString(Host()) + "\tAdmin\tlive here");
      QCOMPARE(Users(path), users.join('\n'));
      QCOMPARE(JoinedMode(here), -1);
      QCOMPARE(ModeOf(ado), -100);
      ado.Close();
      here.reset();
      DatabasePtr exclusive;
      QCOMPARE(OpenDao(path, &exclusive, true).number(), 3045);
      QCOMPARE(Failure(Kill(lockFile)), std::string("70: Permission denied"));
      QCOMPARE(ReadBytes(lockFile).mid(slot * kRecord, kRecord), theirs);
    }
    QCOMPARE(Users(path), QString("%1\tWS-ACCOUNTS\tclerk\tleft behind").arg(slot));
    DatabasePtr here;
    QVERIFY(OpenDao(path, &here).ok());
    QCOMPARE(JoinedMode(here), 0);
    here.reset();
    QVERIFY(!Exists(lockFile));  // the last one out deleted it
    QVERIFY(OpenDao(path, &here, true).ok());
  }

  // Any lock on the database beyond our own bytes is another engine's: no mode can be read.
  void anotherEnginesLockOnTheDatabase() {
    TempFolder folder;
    const std::string path = folder.database("Orders.mdb");
    DatabasePtr here, exclusive;
    QVERIFY(OpenDao(path, &here).ok());
    {
      ForeignPeer windows({"--database", QString::fromStdString(path), "posix"});
      QVERIFY(windows.ready());
      QCOMPARE(JoinedMode(here), -1);
      here.reset();
      QCOMPARE(OpenDao(path, &exclusive, true).number(), 3045);
      QVERIFY(OpenDao(path, &here).ok());
    }
    QCOMPARE(JoinedMode(here), 0);
  }

  // Somebody's data or no regular file under its name: opens fail (3050) without writing,
  // following a link or blocking on a FIFO; Kill removes only a link itself.
  void whatCannotBeALockFileIsNeverTouched_data() {
    Columns<QString, int>("kind", "killed");
    for (const char* kind : {"another database", "hard link to a database", "20 KB document",
                             "16,320 bytes of text", "directory", "fifo"})
      QTest::newRow(kind) << QString(kind) << 75;
    QTest::newRow("symlink") << "symlink" << 0;
    QTest::newRow("dangling symlink") << "dangling symlink" << 0;
  }
  void whatCannotBeALockFileIsNeverTouched() {
    const auto [kind, killed] = Fetch<QString, int>("kind", "killed");
    TempFolder folder;
    const std::string path = folder.database("x.mdb");
    const std::string lockFile = folder.file("x.ldb"), created = folder.file("created");
    std::string data = folder.write("victim", QByteArray(20 * 1024, 'w'));
    if (kind == "another database") data = folder.database("x.ldb");
    if (kind == "hard link to a database") {
      data = folder.database("other.mdb");
      QCOMPARE(::link(data.c_str(), lockFile.c_str()), 0);
    }
    if (kind == "20 KB document") data = folder.write("x.ldb", QByteArray(20 * 1024, 'w'));
    if (kind == "16,320 bytes of text")
      data = folder.write("x.ldb",
                          QByteArray("Minutes of the meeting.\r\n").repeated(680).left(16320));
    if (kind.endsWith("symlink"))
      QCOMPARE(::symlink((kind == "symlink" ? data : created).c_str(), lockFile.c_str()), 0);
    if (kind == "directory") ::mkdir(lockFile.c_str(), 0755);
    if (kind == "fifo") ::mkfifo(lockFile.c_str(), 0644);
    const QByteArray before = ReadBytes(data);
    DatabasePtr database;
    QCOMPARE(Failure(OpenDao(path, &database)), std::string("3050: Could not lock file."));
    Connection connection;
    QCOMPARE(Failure(OpenAdo(connection, path, 1)),
             std::string("-2147467259: Could not lock file."));
    QVERIFY(!CouldBeLockFileOf(lockFile, path));
    QCOMPARE(Users(path), QString("quilletctl: error 3050: Could not lock file."));
    QCOMPARE(Kill(lockFile).number(), killed);
    QCOMPARE(ReadBytes(data), before);
    QVERIFY(!Exists(created));
  }

  // A failing call on the way in leaves no slot, lock, record or lock file of its own behind.
  void failingSystemCalls_data() {
    // number: of the open; 0: it succeeds
    Columns<Call, Target, int, int>("call", "target", "error", "number");
    const Target lockFile{.path = "faulty.ldb"};
    QTest::newRow("opening the database")
        << Call::kOpen << Target{.path = "faulty.mdb"} << EIO << 3051;
    QTest::newRow("opening the database for writing: too many files open")
        << Call::kOpen << Target{.path = "faulty.mdb", .writing = true} << EMFILE << 3048;
    QTest::newRow("taking the gate") << Call::kLock << kGate << EDEADLK << 3050;
    QTest::newRow("creating the lock file") << Call::kOpen << lockFile << EIO << 3050;
    QTest::newRow("creating the lock file: too many files open in the system")
        << Call::kOpen << lockFile << ENFILE << 3048;
    QTest::newRow("giving it the database's mode") << Call::kFchmod << lockFile << EIO << 0;
    QTest::newRow("claiming the mark") << Call::kLock << kMarks << EIO << 3050;
    QTest::newRow("claiming the user lock") << Call::kLock << kUserLocks << EIO << 3050;
    QTest::newRow("writing the record: disk full") << Call::kWrite << lockFile << ENOSPC << 3050;
    // The gate goes with the descriptor at the latest.
    QTest::newRow("letting go of the gate") << Call::kUnlock << kGate << EIO << 0;
  }
  void failingSystemCalls() {
    const auto [call, target, error, number] =
        Fetch<Call, Target, int, int>("call", "target", "error", "number");
    TempFolder folder;
    const std::string path = folder.database("faulty.mdb");
    posix::InjectFault(call, error, target);
    Connection connection;
    const Status opened = OpenAdo(connection, path, 1);
    QCOMPARE(opened.number(), number == 0 ? 0 : kAdoProviderError);
    if (number != 0) QCOMPARE(opened.description(), OpenFailure(error, number, path).description());
    posix::ClearFaults();
    QCOMPARE(Exists(folder.file("faulty.ldb")), number == 0);
    connection.Close();
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database, true).ok());
    database.reset();
    const QByteArray left = ReadBytes(folder.file("faulty.ldb"));
    QCOMPARE(left.count('\0'), left.size());  // none, or only cleared records
  }

  // A failing step of Kill gives VB's error and leaves the stale lock file as it was.
  void failingKill_data() {
    Columns<Call, int, int>("call", "error", "number");
    QTest::newRow("lstat: gone") << Call::kLstat << ENOENT << 53;
    QTest::newRow("lstat: denied") << Call::kLstat << EACCES << 70;
    QTest::newRow("open") << Call::kOpen << EIO << 75;
    QTest::newRow("statx: its mount untold") << Call::kStatx << EIO << 70;
    QTest::newRow("open: too many files open") << Call::kOpen << EMFILE << 67;
    QTest::newRow("lock") << Call::kLock << EAGAIN << 70;
    QTest::newRow("unlink: denied") << Call::kUnlink << EPERM << 70;
  }
  void failingKill() {
    const auto [call, error, number] = Fetch<Call, int, int>("call", "error", "number");
    TempFolder folder;
    const std::string lockFile = folder.write("stale.ldb", JetRecord("WS-01", "Admin"));
    posix::InjectFault(call, error, Target{.path = "stale.ldb"});
    const Status killed = Kill(lockFile);
    posix::ClearFaults();
    QCOMPARE(killed.number(), number);
    QCOMPARE(ReadBytes(lockFile), JetRecord("WS-01", "Admin"));
    QCOMPARE(Failure(Kill(lockFile)), kOk);  // only the fault stood in the way
    QVERIFY(!Exists(lockFile));
  }

  // A failing step on the way out still lets go of everything; a later opener reuses the file.
  void failingClose_data() {
    Columns<Call, Target>("call", "target");
    const Target lockFile{.path = "leaving.ldb"};
    QTest::newRow("clearing the record") << Call::kWrite << lockFile;
    QTest::newRow("taking the gate to leave") << Call::kLock << kGate;
    QTest::newRow("looking before deleting") << Call::kLstat << lockFile;
    QTest::newRow("deleting the lock file") << Call::kUnlink << lockFile;
  }
  void failingClose() {
    const auto [call, target] = Fetch<Call, Target>("call", "target");
    TempFolder folder;
    const std::string path = folder.database("leaving.mdb");
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    posix::InjectFault(call, EIO, target);
    QVERIFY(database->Close().ok());
    posix::ClearFaults();
    QVERIFY(OpenDao(path, &database, true).ok());  // nothing of ours is held
    database.reset();
    QVERIFY(OpenDao(path, &database).ok());
    database.reset();
    QVERIFY(!Exists(folder.file("leaving.ldb")));
  }
};

QTEST_GUILESS_MAIN(ForeignEngineTest)
#include "ForeignEngineTest.moc"
