// Samba's clients with a file open and no lock taken, or with locks Samba keeps to itself: a
// stand-in smbstatus prints a real recording whose file ids are made the temporary files'.

#include "platform/engine/AccessFiles.h"
#include "platform/engine/DatabaseScan.h"
#include "platform/engine/FolderWalk.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFileUsers.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/engine/SambaServing.h"
#include "platform/samba/SambaOpeners.h"
#include "support/EngineTestUtil.h"
#include "support/SambaNamespace.h"
#include "support/SambaStandIn.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// In share-mode-none.json the client that shares nothing has a.mdb open (file id 65024,
// 10952707) and another client has b.mdb open to share (65024, 10952721).
constexpr char kRecordedDevice[] = "\"devid\": 65024";
constexpr char kExclusiveOpen[] = "\"inode\": 10952707";
constexpr char kSharedOpen[] = "\"inode\": 10952721";

// The recording with the exclusive open on `exclusive` and the shared one on `shared` (either
// may be left where it was, on files that are not here).
QByteArray TableFor(const std::string& exclusive, const std::string& shared) {
  QByteArray json = Recording("share-mode-none.json");
  const auto moveTo = [&](const char* recorded, const std::string& path) {
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return;
    const qsizetype at = json.indexOf(recorded);
    const qsizetype device = json.lastIndexOf(kRecordedDevice, at);
    json.replace(at, qstrlen(recorded),
                 "\"inode\": " + QByteArray::number(qulonglong(info.st_ino)));
    json.replace(device, qstrlen(kRecordedDevice),
                 "\"devid\": " + QByteArray::number(qulonglong(info.st_dev)));
  };
  moveTo(kExclusiveOpen, exclusive);
  moveTo(kSharedOpen, shared);
  return json;
}

// A recording of smbstatus -B (smbstatus/README.md) with its client's lock file, open and, but
// with locking = no, holding slot 0's user lock, made `lockFile`.
QByteArray LockTableFor(const char* recording, ino_t recordedInode, const std::string& lockFile) {
  struct stat info;
  if (::stat(lockFile.c_str(), &info) != 0) qFatal("no %s", lockFile.c_str());
  return Recording(recording)
      .replace("\"inode\": " + QByteArray::number(qulonglong(recordedInode)),
               "\"inode\": " + QByteArray::number(qulonglong(info.st_ino)))
      .replace(kRecordedDevice, "\"devid\": " + QByteArray::number(qulonglong(info.st_dev)));
}

// The engine is told that a share with `setting` serves every folder, or may.
void ServedBy(const std::string& setting, bool certain) {
  SetSambaServingSource([=](const std::string&) {
    return SambaServing{true, {}, {{"data", "/srv/data", certain, {setting}}}, {}};
  });
}

// What those who only look at the database beside a client's session on a share with
// `setting` find: where the locks are `hidden`, nothing known, and why; where Samba's table is
// read, the scan names the client it lists with the lock file open, after the records.
void LookFromOutside(const std::string& path, const std::string& setting, bool hidden,
                     bool tableRead) {
  const MountLocks locks = DatabaseLocksOf(path);
  QCOMPARE(LocksName(locks), hidden ? "hidden by Samba" : "in Samba's table");
  const QString reason = QString::fromStdString(LocksUnseenReason(locks));
  QCOMPARE(reason.contains("Samba's share 'data'") &&
               reason.contains(QString::fromStdString(
                   "which has " + setting + ": Windows clients' locks there do not reach Linux")),
           hidden);
  std::string lockPath;
  std::vector<LockFileUser> users;
  QCOMPARE(Failure(ReadLockFileUsers(path, &lockPath, &users)), kOk);
  QVERIFY(!users.empty());
  QCOMPARE(int(users[0].state),
           int(hidden ? LockFileUser::State::kUnknown : LockFileUser::State::kLiveElsewhere));
  const DatabaseScan scanned = Scanned(path);
  QCOMPARE(int(scanned.state),
           int(tableRead ? DatabaseScan::State::kOtherEngine : DatabaseScan::State::kUnknown));
  QCOMPARE(scanned.liveElsewhere, hidden ? 0 : 1);
  QCOMPARE(QString::fromStdString(scanned.reason),
           tableRead ? "open through Samba by 127.0.0.1 (nobody, shared)" : reason);
  QCOMPARE(int(scanned.users.back().state),
           int(tableRead ? LockFileUser::State::kOpenWithoutLock : LockFileUser::State::kUnknown));
  // An Access database beside it, looked at from the outside only, as unknown.
  const std::string accdb = path.substr(0, path.find_last_of('/')) + "/b.accdb";
  QFile file(QString::fromStdString(accdb));
  QVERIFY(file.open(QIODevice::WriteOnly) && file.write(AceDatabaseBytes()) > 0);
  file.close();
  const DatabaseScan access = Scanned(accdb);
  QCOMPARE(int(access.state),
           int(hidden ? DatabaseScan::State::kUnknown : DatabaseScan::State::kClosed));
  QCOMPARE(QString::fromStdString(access.reason), hidden ? reason : QString());
}

// A stand-in smbstatus in `folder` that prints `json`.
std::string StandIn(const QTemporaryDir& folder, const QByteArray& json) {
  QFile table(folder.filePath("table.json"));
  if (!table.open(QIODevice::WriteOnly) || table.write(json) != json.size())
    qFatal("cannot write the stand-in's table");
  return test::StandIn(folder, "smbstatus", "exec cat '" + table.fileName().toLocal8Bit() + "'");
}

// A user's folder where the user's smbd runs, beside the user's smbstatus, which leaves "ran"
// there when run (and prints what `shown` prints); root's PATH names the folder first, and
// "." too, for root working there.
struct UsersStandIns {
  explicit UsersStandIns(const std::string& shown) {
    const QByteArray script = "#!/bin/sh\ntouch '" + QByteArray::fromStdString(folder.file("ran")) +
                              "'\nexec '" + QByteArray::fromStdString(shown) + "'\n";
    const std::string smbstatus = folder.write("smbstatus", script);
    if (::chmod(folder.path.c_str(), 0755) != 0 || ::chmod(smbstatus.c_str(), 0755) != 0 ||
        ::chown(smbstatus.c_str(), OtherProcess::kNobody, OtherProcess::kNobody) != 0)
      qFatal("cannot hand the user's smbstatus to the user");
    smbd.emplace(QString::fromStdString(folder.path), "smbd", OtherProcess::kNobody);
  }
  TempFolder folder;
  std::optional<ProcessNamed> smbd;
  const std::string searchPath = ".:" + folder.path + ":" + qgetenv("PATH").toStdString();
};

// The engine asks a fresh reader of that stand-in.
void AskStandIn(const std::string& program) {
  SetOtherOpenersSource(AskingSamba(std::make_shared<SambaStatusReader>(StandInOptions(program))));
}

}  // namespace

class SambaOpenersTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    SetOtherOpenersSource({});
    SetSambaServingSource({});
  }

  // A client that shares nothing shuts everyone out; one that shares still hides the mode;
  // either keeps the lock file from being deleted, by the last leaver as by Kill. So does a
  // client with only the lock file open, or a database whose extension is spelled in another
  // case. Once it has closed, all is as before.
  void anOpenOnlySambaKnowsCountsAsAnotherEngine_data() {
    Columns<bool, bool, std::string>("exclusive", "lockFileOnly", "database");
    QTest::newRow("the database, share mode none") << true << false << std::string("a.mdb");
    QTest::newRow("the database, shared") << false << false << std::string("a.mdb");
    QTest::newRow("only the lock file, shared") << false << true << std::string("a.mdb");
    QTest::newRow("the database as a.MdB, share mode none")
        << true << false << std::string("a.MdB");
  }
  void anOpenOnlySambaKnowsCountsAsAnotherEngine() {
    const auto [exclusive, lockFileOnly, database] =
        Fetch<bool, bool, std::string>("exclusive", "lockFileOnly", "database");
    TempFolder folder;
    QTemporaryDir scripts;
    const std::string path = folder.database(database);
    const std::string lockFile = folder.write("a.ldb", JetRecord("WS-01", "Admin"));
    const std::string opened = lockFileOnly ? lockFile : path;
    AskStandIn(StandIn(scripts, exclusive ? TableFor(opened, {}) : TableFor({}, opened)));

    DatabasePtr shared, sole;
    QCOMPARE(Failure(OpenDao(path, &sole, true)), Failure(JetError(kJetErrFileInUse, path)));
    const Status joined = OpenDao(path, &shared);
    QCOMPARE(Failure(joined), exclusive ? Failure(JetError(kJetErrFileInUse, path)) : kOk);
    Connection probe;
    if (!exclusive) {
      QCOMPARE(JoinedMode(shared), -1);  // what the window shows: the mode cannot be found
      QCOMPARE(Failure(OpenAdo(probe, path, 1)), kOk);
      QCOMPARE(ModeOf(probe), -100);
      probe.Close();
      shared->Close();  // the last of ours, yet Samba's client is still in
    }
    QCOMPARE(Failure(Kill(lockFile)).substr(0, 2), "70");
    QVERIFY(Exists(lockFile));
    // users lists the database's opens that only Samba knows, after the records.
    std::string lockPath;
    std::vector<LockFileUser> users;
    QCOMPARE(Failure(ReadLockFileUsers(path, &lockPath, &users)), kOk);
    QCOMPARE(users.size(), size_t(lockFileOnly ? 1 : 2));
    if (!lockFileOnly) {
      QCOMPARE(users[1].slot, -1);
      QCOMPARE(QString::fromStdString(users[1].computer + "/" + users[1].account),
               "127.0.0.1/nobody");
      QCOMPARE(users[1].exclusive, exclusive);
    }
    // A scan names the client once, after the records; so it does of a lock file whose
    // database is gone, scanned alone.
    for (const bool databaseGone : {false, lockFileOnly}) {
      if (databaseGone) QCOMPARE(::rename(path.c_str(), (path + "~").c_str()), 0);
      const FolderScan scan = ScanFolders({folder.path});
      if (databaseGone) QCOMPARE(::rename((path + "~").c_str(), path.c_str()), 0);
      QCOMPARE(scan.databases.size(), size_t(1));
      QCOMPARE(scan.databases[0].reason, std::string("open through Samba by 127.0.0.1 (nobody, ") +
                                             (exclusive ? "exclusive)" : "shared)"));
      QCOMPARE(int(scan.databases[0].state), int(DatabaseScan::State::kOtherEngine));
      QCOMPARE(scan.databases[0].users.size(), size_t(2));
      QCOMPARE(int(scan.databases[0].users[1].state), int(LockFileUser::State::kOpenWithoutLock));
      QVERIFY(scan.otherOpenersRead);
    }

    AskStandIn(StandIn(scripts, Recording("empty.json")));  // the client has closed
    QCOMPARE(Failure(OpenAdo(probe, path, 1)), kOk);
    QCOMPARE(ModeOf(probe), 1);
    probe.Close();
    QVERIFY(!Exists(lockFile));  // the last leaver deleted the stale one
  }

  // A client holds slot 0 of the lock file on a share that keeps its locks from Linux. Where
  // Samba's table cannot be read, or Samba keeps no lock at all, nothing is claimed, as on a
  // client mount: the lock file is never written or deleted. Where the table is read ("posix
  // locking = no" as root) its locks stand in for Linux's: the client's slot is live, never
  // claimed or written, even blank, even taken from under one of ours.
  void locksSambaKeepsToItself_data() {
    Columns<std::string, bool, bool>("setting", "certain", "tableRead");
    QTest::newRow("posix locking = no, table not read")
        << std::string(kSambaPosixLockingOff) << true << false;
    QTest::newRow("posix locking = no on a share that may serve it")
        << std::string(kSambaPosixLockingOff) << false << false;
    QTest::newRow("locking = no, table read") << std::string(kSambaLockingOff) << true << true;
    QTest::newRow("posix locking = no, table read")
        << std::string(kSambaPosixLockingOff) << true << true;
  }
  void locksSambaKeepsToItself() {
    const auto [setting, certain, tableRead] =
        Fetch<std::string, bool, bool>("setting", "certain", "tableRead");
    const bool hidden = setting == kSambaLockingOff || !tableRead;
    TempFolder folder;
    QTemporaryDir scripts;
    const std::string path = folder.database("a.mdb");
    const QByteArray theirs = JetRecord("WS-A", "anna");
    const std::string lockFile = folder.write("a.ldb", theirs);
    ServedBy(setting, certain);
    if (tableRead && hidden) {
      AskStandIn(
          StandIn(scripts, LockTableFor("byte-range-lock-locking-no.json", 10953368, lockFile)));
    } else if (tableRead) {
      AskStandIn(StandIn(
          scripts, LockTableFor("byte-range-lock-posix-locking-no.json", 10953356, lockFile)));
    }

    LookFromOutside(path, setting, hidden, tableRead);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(Failure(Kill(lockFile)).substr(0, 2), "70");
    DatabasePtr here, sole;
    QCOMPARE(OpenDao(path, &sole, true).number(), hidden ? kJetErrCouldNotLock : kJetErrFileInUse);

    QCOMPARE(Failure(OpenDao(path, &here)), kOk);
    QCOMPARE(JoinedMode(here), -1);
    QCOMPARE(ReadBytes(lockFile).left(64), theirs);
    QCOMPARE(ReadBytes(lockFile).mid(64, 64).startsWith(Host()), !hidden);  // ours in slot 1
    here.reset();
    QCOMPARE(ReadBytes(lockFile).left(64), theirs);
    if (hidden) {
      QCOMPARE(ReadBytes(lockFile), theirs);  // never written, never deleted
      return;
    }

    // Blank, as a client's record is between its lock and its write: still not ours.
    const QByteArray blank(64, '\0');
    folder.write("a.ldb", blank);
    QCOMPARE(Failure(OpenDao(path, &here)), kOk);
    QCOMPARE(ReadBytes(lockFile).left(64), blank);
    QVERIFY(ReadBytes(lockFile).mid(64).startsWith(Host()));
    // Another client, which cannot see our user lock, takes slot 1 and writes its record
    // there: leaving, we leave it alone.
    const QByteArray second = JetRecord("WS-B", "bert");
    AskStandIn(
        StandIn(scripts, LockTableFor("byte-range-lock-posix-locking-no.json", 10953356, lockFile)
                             .replace("\"start\": 268435457", "\"start\": 268435458")));
    QFile file(QString::fromStdString(lockFile));
    QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(64) && file.write(second) == 64);
    file.close();
    here.reset();
    QCOMPARE(ReadBytes(lockFile), blank + second);
  }

  // quilletctl, run as root, asks root's Samba only: root's smbstatus where root's smbd runs
  // (then a client's open shows in users, check --json says Samba was read, and scan calls
  // the database in use by that client). A user's smbd and smbstatus are never run for
  // Samba's, however early on root's PATH, a relative entry too.
  void quilletctlAsksRootsSambaOnly_data() {
    // smbdUser: who runs the smbd of root's Samba, in a mount namespace where it and smbstatus
    // are stand-ins; -1: no such namespace, the machine as it is.
    Columns<int, bool>("smbdUser", "read");
    QTest::newRow("root's smbd and smbstatus") << 0 << true;
    QTest::newRow("Samba's smbd run by another user") << int(OtherProcess::kNobody) << false;
    QTest::newRow("this machine as it is") << -1 << false;
  }
  void quilletctlAsksRootsSambaOnly() {
    const auto [smbdUser, read] = Fetch<int, bool>("smbdUser", "read");
    if (::geteuid() != 0) QSKIP("Samba's table is read as root only");
    TempFolder folder;
    QTemporaryDir scripts;
    const std::string path = folder.database("a.mdb");
    const std::string rootsSmbstatus = StandIn(scripts, TableFor(path, {}));
    // A real smbd of root's, seen from the namespace too, would be asked.
    if (smbdUser > 0 && SmbdRuns()) QSKIP("an smbd of root's runs on this machine");
    std::optional<SambaNamespace> samba;
    if (smbdUser >= 0) samba.emplace(rootsSmbstatus, uid_t(smbdUser));
    if (samba && !samba->failure().isEmpty()) QSKIP(qPrintable(samba->failure()));

    const UsersStandIns user(rootsSmbstatus);
    const std::function<void()> enter = samba ? samba->entering(user.folder.path) : nullptr;
    const auto inChild = [searchPath = user.searchPath, enter] {
      if (enter) enter();
      ::setenv("PATH", searchPath.c_str(), 1);
    };
    const auto run = [&](const std::vector<std::string>& args) {
      auto process = std::make_unique<OtherProcess>(args, uid_t(-1), inChild, user.folder.path);
      process->stop(0);
      return process;
    };

    const auto users = run({"users", path});
    QCOMPARE(users->output(), read ? "-\t127.0.0.1\tnobody\topen through Samba\n" : "");
    const QJsonObject listed = JsonOf(run({"users", "--json", path})->output());
    if (smbdUser == 0) QCOMPARE(listed["samba"].toString(), "read");
    if (smbdUser > 0)
      QCOMPARE(listed["samba"].toString(), "not read: no smbd running on this machine");
    QCOMPARE(listed["sambaOpens"].toArray().size(), read ? 1 : 0);
    if (read) {
      const QJsonObject open = listed["sambaOpens"].toArray()[0].toObject();
      QCOMPARE(open["shareMode"].toString(), "exclusive");
      QVERIFY(open["address"].toString().startsWith("ipv4:127.0.0.1:"));
    }
    const auto check = run({"check", "--json", path});
    QCOMPARE(check->stop(0), read ? 1 : 0);  // refused where the client shares nothing
    if (read) QVERIFY(check->errors().starts_with("quilletctl: error 3045:"));
    const auto scan = run({"scan", "--json", folder.path});
    const QJsonObject scanned = JsonOf(scan->output());
    QCOMPARE(scan->stop(0), read ? 5 : 0);  // 5: someone is in
    QCOMPARE(scanned["state"].toString(), read ? "other engine" : "closed");
    QCOMPARE(scanned["sambaOpens"].toArray().size(), read ? 1 : 0);
    if (read)
      QCOMPARE(scanned["reason"].toString(), "open through Samba by 127.0.0.1 (nobody, exclusive)");
    QVERIFY2(!Exists(user.folder.file("ran")), "root ran the user's smbstatus");
  }
};

QTEST_GUILESS_MAIN(SambaOpenersTest)
#include "SambaOpenersTest.moc"
