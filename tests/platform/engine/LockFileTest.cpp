// The ".ldb" beside a database: where it is, what it holds, who may join through it, and
// what the engine refuses to touch under that name.

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <array>
#include <atomic>
#include <thread>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"
#include "platform/FileSystem.h"

using namespace quillet;
using namespace quillet::test;

namespace {

constexpr int kRecord = 64;

std::string HostName() {
  std::array<char, 256> name{};
  ::gethostname(name.data(), name.size() - 1);
  return std::string(name.data()).substr(0, 32);
}

// The 64-byte record of a slot: 32 bytes computer name, 32 bytes user name, NUL-padded.
QByteArray ExpectedRecord(const std::string& user = "Admin") {
  QByteArray record(kRecord, '\0');
  const std::string host = HostName();
  std::copy(host.begin(), host.end(), record.begin());
  std::copy(user.begin(), user.end(), record.begin() + 32);
  return record;
}

// Records that are not all zero: live connections' and crashed ones'.
int LiveLookingRecords(const std::string& lockFile) {
  const QByteArray contents = ReadBytes(lockFile);
  int count = 0;
  for (int at = 0; at < contents.size(); at += kRecord) {
    if (contents.mid(at, kRecord) != QByteArray(kRecord, '\0')) ++count;
  }
  return count;
}

class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

}  // namespace

class LockFileTest : public QObject {
  Q_OBJECT

 private slots:
  void lockFileSitsBesideTheDatabase_data();
  void lockFileSitsBesideTheDatabase();
  void oneRecordPerConnection();
  void leaversZeroTheirRecordAndSlotsAreReused();
  void atMost255Connections();
  void existingLockFileIsReusedNeverTruncated();
  void staleLockFileCanBeKilledOnceNobodyHoldsIt();
  void heldLockFileCannotBeKilled();
  void symlinkPlantedAsLockFileIsRefused();
  void specialFileAsLockFileIsRefusedAtOnce_data();
  void specialFileAsLockFileIsRefusedAtOnce();
  void lockFileNamedLikeTheDatabaseIsNeverTouched();
  void lockFileTakesTheDatabasePermissions_data();
  void lockFileTakesTheDatabasePermissions();
  void groupMemberCanJoinThroughTheLockFile();
  void folderWithoutRoomForALockFile();
  void joinersRaceAKillOfTheLockFile();
};

void LockFileTest::lockFileSitsBesideTheDatabase_data() {
  QTest::addColumn<QByteArray>("folder");
  QTest::addColumn<QByteArray>("name");
  QTest::addColumn<QByteArray>("lockName");
  QTest::newRow("extension") << QByteArray() << QByteArray("Sales.mdb") << QByteArray("Sales.ldb");
  QTest::newRow("no extension") << QByteArray() << QByteArray("sales") << QByteArray("sales.ldb");
  QTest::newRow("dot in folder only")
      << QByteArray("Data.old") << QByteArray("sales") << QByteArray("sales.ldb");
  QTest::newRow("two extensions")
      << QByteArray() << QByteArray("archive.v1.mdb") << QByteArray("archive.v1.ldb");
  QTest::newRow("spaces") << QByteArray("my data") << QByteArray("sales 2024.mdb")
                          << QByteArray("sales 2024.ldb");
  QTest::newRow("not UTF-8") << QByteArray("d\xe9p\xf4t") << QByteArray("caf\xe9\xff.mdb")
                             << QByteArray("caf\xe9\xff.ldb");
}

void LockFileTest::lockFileSitsBesideTheDatabase() {
  QFETCH(QByteArray, folder);
  QFETCH(QByteArray, name);
  QFETCH(QByteArray, lockName);
  TempFolder temp;
  std::string dir = temp.path();
  if (!folder.isEmpty()) {
    dir += "/" + folder.toStdString();
    QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
  }
  const std::string path = dir + "/" + name.toStdString();
  const std::string lockFile = dir + "/" + lockName.toStdString();
  temp.write(path.substr(temp.path().size() + 1), JetDatabaseBytes());

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(database->Name(), path);
  QCOMPARE(SizeOf(lockFile), off_t{kRecord});

  // Another process finds the same lock file by the same bytes.
  OtherProcess other({"hold", path, "--record"});
  const std::optional<std::string> line = other.firstLine();
  QVERIFY(line.has_value());
  QCOMPARE(*line, "holding " + path + " in Page Level mode");
  QCOMPARE(SizeOf(lockFile), off_t{2 * kRecord});
  QCOMPARE(other.stop(), 0);

  QVERIFY(database->Close().ok());
  QVERIFY(!Exists(lockFile));
}

void LockFileTest::oneRecordPerConnection() {
  TempFolder folder;
  const std::string path = folder.database("records.mdb");
  const std::string lockFile = folder.file("records.ldb");

  DatabasePtr dao;
  QVERIFY(OpenDao(path, &dao).ok());
  Connection ado;
  ado.SetProvider(kJetOleDbProvider);
  QVERIFY(ado.SetProperty(kPropDataSource, path).ok());
  QVERIFY(ado.Open({}, "clerk").ok());

  const QByteArray contents = ReadBytes(lockFile);
  QCOMPARE(contents.size(), 2 * kRecord);
  QCOMPARE(contents.mid(0, kRecord), ExpectedRecord("Admin"));
  QCOMPARE(contents.mid(kRecord, kRecord), ExpectedRecord("clerk"));
}

void LockFileTest::leaversZeroTheirRecordAndSlotsAreReused() {
  TempFolder folder;
  const std::string path = folder.database("reuse.mdb");
  const std::string lockFile = folder.file("reuse.ldb");

  std::vector<DatabasePtr> open(3);
  for (auto& database : open) QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(SizeOf(lockFile), off_t{3 * kRecord});

  QVERIFY(open[1]->Close().ok());
  QByteArray contents = ReadBytes(lockFile);
  QCOMPARE(contents.size(), 3 * kRecord);
  QCOMPARE(contents.mid(kRecord, kRecord), QByteArray(kRecord, '\0'));
  QCOMPARE(contents.mid(2 * kRecord, kRecord), ExpectedRecord());

  QVERIFY(OpenDao(path, &open[1]).ok());
  contents = ReadBytes(lockFile);
  QCOMPARE(contents.size(), 3 * kRecord);  // the free slot was taken, the file did not grow
  QCOMPARE(contents.mid(kRecord, kRecord), ExpectedRecord());

  for (auto& database : open) QVERIFY(database->Close().ok());
  QVERIFY(!Exists(lockFile));
}

void LockFileTest::atMost255Connections() {
  TempFolder folder;
  const std::string path = folder.database("crowd.mdb");
  const std::string lockFile = folder.file("crowd.ldb");

  std::vector<DatabasePtr> crowd(255);
  for (auto& database : crowd) QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(SizeOf(lockFile), off_t{255 * kRecord});

  DatabasePtr oneTooMany;
  const Status refused = OpenDao(path, &oneTooMany);
  QCOMPARE(refused.number(), 3050);
  QCOMPARE(QString::fromStdString(refused.description()), QStringLiteral("Could not lock file."));
  QVERIFY(!oneTooMany);

  crowd.back().reset();  // releasing the last reference closes it
  QVERIFY(OpenDao(path, &oneTooMany).ok());
  crowd.clear();
  oneTooMany.reset();
  QVERIFY(!Exists(lockFile));
}

void LockFileTest::existingLockFileIsReusedNeverTruncated() {
  TempFolder folder;
  const std::string path = folder.database("old.mdb");
  QByteArray stale;
  for (int i = 0; i < 4; ++i) stale += QByteArray(kRecord, char('A' + i));
  const std::string lockFile = folder.write("old.ldb", stale);

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  const QByteArray contents = ReadBytes(lockFile);
  QCOMPARE(contents.size(), 5 * kRecord);
  QCOMPARE(contents.left(4 * kRecord), stale);  // nobody holds them, but they stay as they are
  QCOMPARE(contents.mid(4 * kRecord), ExpectedRecord());

  QVERIFY(database->Close().ok());
  QVERIFY(!Exists(lockFile));  // we were the last one there
}

void LockFileTest::staleLockFileCanBeKilledOnceNobodyHoldsIt() {
  TempFolder folder;
  const std::string path = folder.database("stale.mdb");
  const std::string lockFile = folder.file("stale.ldb");

  OtherProcess holder({"hold", path});
  QVERIFY(holder.firstLine().has_value());
  QCOMPARE(Kill(lockFile).number(), kErrPermissionDenied);
  holder.kill();
  QCOMPARE(LiveLookingRecords(lockFile), 1);  // what a crash leaves behind

  QVERIFY(Kill(lockFile).ok());
  QVERIFY(!Exists(lockFile));
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(SizeOf(lockFile), off_t{kRecord});
}

void LockFileTest::heldLockFileCannotBeKilled() {
  TempFolder folder;
  const std::string path = folder.database("held.mdb");
  const std::string lockFile = folder.file("held.ldb");

  {
    DatabasePtr ours;
    QVERIFY(OpenDao(path, &ours).ok());
    const Status refused = Kill(lockFile);
    QCOMPARE(refused.number(), kErrPermissionDenied);
    QCOMPARE(QString::fromStdString(refused.description()), QStringLiteral("Permission denied"));
    QVERIFY(Exists(lockFile));
  }
  QVERIFY(!Exists(lockFile));

  OtherProcess other({"hold", path});
  QVERIFY(other.firstLine().has_value());
  QCOMPARE(Kill(lockFile).number(), kErrPermissionDenied);
  QCOMPARE(LiveLookingRecords(lockFile), 1);

  // The refused Kill leaves the file usable: a later opener still joins through it.
  DatabasePtr joiner;
  QVERIFY(OpenDao(path, &joiner).ok());
  QCOMPARE(LiveLookingRecords(lockFile), 2);
}

void LockFileTest::symlinkPlantedAsLockFileIsRefused() {
  TempFolder folder;
  const std::string path = folder.database("planted.mdb");
  const std::string lockFile = folder.file("planted.ldb");
  const QByteArray precious("precious contents\n");
  const std::string victim = folder.write("victim.txt", precious);
  QCOMPARE(::symlink(victim.c_str(), lockFile.c_str()), 0);

  DatabasePtr database;
  Status refused = OpenDao(path, &database);
  QCOMPARE(refused.number(), 3050);
  QCOMPARE(ReadBytes(victim), precious);

  // A dangling link must not make the engine create its target either.
  QCOMPARE(::unlink(lockFile.c_str()), 0);
  const std::string target = folder.file("created-through-link");
  QCOMPARE(::symlink(target.c_str(), lockFile.c_str()), 0);
  Connection connection;
  refused = OpenAdo(connection, path, 1);
  QCOMPARE(refused.number(), kAdoProviderError);
  QCOMPARE(QString::fromStdString(refused.description()), QStringLiteral("Could not lock file."));
  QVERIFY(!Exists(target));
}

void LockFileTest::specialFileAsLockFileIsRefusedAtOnce_data() {
  QTest::addColumn<QString>("kind");
  QTest::newRow("directory") << QStringLiteral("directory");
  QTest::newRow("fifo") << QStringLiteral("fifo");
  QTest::newRow("socket") << QStringLiteral("socket");
}

void LockFileTest::specialFileAsLockFileIsRefusedAtOnce() {
  QFETCH(QString, kind);
  TempFolder folder;
  const std::string path = folder.database("special.mdb");
  const std::string lockFile = folder.file("special.ldb");
  if (kind == "directory") QCOMPARE(::mkdir(lockFile.c_str(), 0755), 0);
  if (kind == "fifo") QCOMPARE(::mkfifo(lockFile.c_str(), 0644), 0);
  if (kind == "socket") QCOMPARE(::mknod(lockFile.c_str(), S_IFSOCK | 0644, 0), 0);

  QElapsedTimer timer;
  timer.start();
  DatabasePtr database;
  QCOMPARE(OpenDao(path, &database).number(), 3050);
  QVERIFY(timer.elapsed() < 2000);
  QVERIFY(Exists(lockFile));
}

// Opening "x.ldb" itself makes the lock file's name the database's own: the engine must
// neither write a record into it nor delete it.
void LockFileTest::lockFileNamedLikeTheDatabaseIsNeverTouched() {
  TempFolder folder;
  const std::string path = folder.database("itself.ldb");
  const QByteArray before = ReadBytes(path);

  {
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    Connection joiner;
    QVERIFY(OpenAdo(joiner, path, 1).ok());
    QCOMPARE(ModeOf(joiner), 0);
    QCOMPARE(ReadBytes(path), before);
  }
  QCOMPARE(ReadBytes(path), before);

  // The same through a hard link named like the lock file of another name.
  const std::string alias = folder.file("alias.mdb");
  const std::string aliasLock = folder.file("alias.ldb");
  QCOMPARE(::link(path.c_str(), aliasLock.c_str()), 0);
  QCOMPARE(::link(path.c_str(), alias.c_str()), 0);
  {
    DatabasePtr database;
    QVERIFY(OpenDao(alias, &database).ok());
  }
  QVERIFY(Exists(aliasLock));
  QCOMPARE(ReadBytes(path), before);
}

void LockFileTest::lockFileTakesTheDatabasePermissions_data() {
  QTest::addColumn<int>("databaseMode");
  QTest::addColumn<int>("lockMode");
  QTest::newRow("group may write") << 0664 << 0664;
  QTest::newRow("everyone may write") << 0666 << 0666;
  QTest::newRow("group may read") << 0640 << 0640;
  QTest::newRow("owner only") << 0600 << 0600;
  QTest::newRow("read-only database") << 0444 << 0644;
}

void LockFileTest::lockFileTakesTheDatabasePermissions() {
  QFETCH(int, databaseMode);
  QFETCH(int, lockMode);
  TempFolder folder;
  const std::string path = folder.database("perm.mdb");
  QCOMPARE(::chmod(path.c_str(), static_cast<mode_t>(databaseMode)), 0);

  Umask strict(077);  // what the user's umask would otherwise leave
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QCOMPARE(static_cast<int>(ModeOf(folder.file("perm.ldb"))), lockMode);
}

// A lock file created by one user must let the other members of the database's group in.
void LockFileTest::groupMemberCanJoinThroughTheLockFile() {
  if (::geteuid() != 0) QSKIP("needs root to act as a second user");
  TempFolder folder;
  const std::string shared = folder.file("shared");
  QCOMPARE(::mkdir(shared.c_str(), 0755), 0);
  QCOMPARE(::chown(shared.c_str(), 0, OtherProcess::kNobody), 0);
  QCOMPARE(::chmod(shared.c_str(), 02775), 0);  // new files take the folder's group
  folder.openToEveryone();
  const std::string path = shared + "/team.mdb";
  folder.write("shared/team.mdb", JetDatabaseBytes());
  QCOMPARE(::chown(path.c_str(), 0, OtherProcess::kNobody), 0);
  QCOMPARE(::chmod(path.c_str(), 0660), 0);

  Umask usual(022);
  Connection ours;
  QVERIFY(OpenAdo(ours, path, 1).ok());

  OtherProcess member({"check", path}, OtherProcess::kNobody);
  const std::optional<std::string> line = member.firstLine();
  QVERIFY2(line.has_value(), member.standardError().c_str());
  QCOMPARE(QString::fromStdString(*line),
           QStringLiteral("Information: The database is using 'Record Level' locking."));
  QCOMPARE(member.wait(), 0);
}

// A user who may write the database but not its folder cannot create the lock file: a
// shared open fails with 3051, an exclusive one needs no lock file and works.
void LockFileTest::folderWithoutRoomForALockFile() {
  if (::geteuid() != 0) QSKIP("needs root to act as a second user");
  TempFolder folder;
  folder.openToEveryone();
  const std::string path = folder.database("locked out.mdb");
  const std::string lockFile = folder.file("locked out.ldb");

  QCOMPARE(::chmod(path.c_str(), 0666), 0);
  {
    OtherProcess shared({"check", path}, OtherProcess::kNobody);
    QCOMPARE(shared.wait(), 1);
    QCOMPARE(QString::fromStdString(shared.standardError()),
             QString::fromStdString("error 3051: The Microsoft Jet database engine cannot open the file '" +
                                    path +
                                    "'. It is already opened exclusively by another user, or you "
                                    "need permission to view its data.\n"));
  }
  for (const char* readOnly : {"", "--read-only"}) {
    std::vector<std::string> args{"hold", path, "--exclusive"};
    if (*readOnly) args.push_back(readOnly);
    OtherProcess exclusive(args, OtherProcess::kNobody);
    QVERIFY2(exclusive.firstLine().has_value(), exclusive.standardError().c_str());
    QVERIFY(!Exists(lockFile));
    DatabasePtr database;
    QCOMPARE(OpenDao(path, &database).number(), 3045);
    QCOMPARE(exclusive.stop(), 0);
  }

  // Not even the database is writable: read-only exclusive still works, and while it is
  // held nobody else gets in.
  QCOMPARE(::chmod(path.c_str(), 0644), 0);
  OtherProcess readOnly({"hold", path, "--exclusive", "--read-only"}, OtherProcess::kNobody);
  QVERIFY2(readOnly.firstLine().has_value(), readOnly.standardError().c_str());
  OtherProcess second({"hold", path, "--exclusive", "--read-only"}, OtherProcess::kNobody);
  QCOMPARE(second.wait(), 1);
  QVERIFY(second.standardError().find("error 3045") != std::string::npos);
  {
    OtherProcess writeWanted({"hold", path, "--exclusive"}, OtherProcess::kNobody);
    QCOMPARE(writeWanted.wait(), 1);
    QVERIFY(writeWanted.standardError().find("error 3051") != std::string::npos);
  }
  DatabasePtr database;
  QCOMPARE(OpenDao(path, &database).number(), 3045);
  Connection connection;
  const Status adoRefused = OpenAdo(connection, path, 1, adModeShareExclusive);
  QCOMPARE(adoRefused.number(), kAdoProviderError);
  QCOMPARE(QString::fromStdString(adoRefused.description()),
           QString::fromStdString("Could not use '" + path + "'; file already in use."));
  QCOMPARE(readOnly.stop(), 0);
  QVERIFY(OpenDao(path, &database).ok());
}

// Joining and Kill race: while a connection is open its lock file must exist, hold its
// record and refuse Kill, however the two interleave.
void LockFileTest::joinersRaceAKillOfTheLockFile() {
  TempFolder folder;
  const std::string path = folder.database("race.mdb");
  const std::string lockFile = folder.file("race.ldb");

  std::atomic<bool> done{false};
  std::atomic<int> kills{0};
  std::thread killer([&] {
    while (!done) {
      if (Kill(lockFile).ok()) ++kills;
    }
  });

  int failures = 0;
  for (int round = 0; round < 1500 && failures == 0; ++round) {
    DatabasePtr database;
    if (!OpenDao(path, &database).ok()) {
      ++failures;
      break;
    }
    struct stat info;
    if (::lstat(lockFile.c_str(), &info) != 0 || info.st_size < kRecord) ++failures;
    if (Kill(lockFile).number() != kErrPermissionDenied) ++failures;
    database.reset();
    if (round % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));  // room for a Kill
  }
  done = true;
  killer.join();
  QCOMPARE(failures, 0);
  QVERIFY(kills > 0);  // the killer did get between the connections
}

QTEST_GUILESS_MAIN(LockFileTest)
#include "LockFileTest.moc"
