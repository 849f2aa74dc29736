// The ".ldb" beside a database: where it is, what it holds, who may join, when Kill deletes it.

#include <sys/mount.h>

#include <QScopeGuard>
#include <atomic>
#include <thread>

#include "platform/engine/Kill.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/VbErrors.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {
constexpr int kRecord = 64;

QByteArray Record(const QByteArray& user = "Admin") { return JetRecord(Host(), user); }
}  // namespace

class LockFileTest : public QObject {
  Q_OBJECT

 private slots:
  // Named after the last extension of the last name, whatever the bytes of the name.
  void oneRecordPerConnectionBesideTheDatabase() {
    TempFolder folder;
    QCOMPARE(::mkdir(folder.file("d\xe9p\xf4t.v1").c_str(), 0755), 0);
    for (const auto& [name, lockName] :
         {std::pair{"archive.v1.mdb", "archive.v1.ldb"},
          {"d\xe9p\xf4t.v1/caf\xe9 \xff", "d\xe9p\xf4t.v1/caf\xe9 \xff.ldb"}}) {
      const std::string path = folder.database(name);
      DatabasePtr dao, third;
      Connection ado;  // a control character in a name would make the file no lock file
      QVERIFY(OpenDao(path, &dao).ok());
      QVERIFY(ado.Open("Provider=Microsoft.JET.OLEDB.4.0;Data Source=" + path, "clerk\t2").ok());
      QCOMPARE(ReadBytes(folder.file(lockName)), Record() + Record("clerk?2"));
      QVERIFY(OpenDao(path, &third).ok());
    }
  }

  // 255 slots: one another engine holds is skipped, a closed or probed one reused at once.
  void slotsAreReusedUpTo255AndHeldOnesSkipped() {
    TempFolder folder;
    const std::string path = folder.database("crowd.mdb");
    const std::string lockFile = folder.file("crowd.ldb");
    ForeignPeer first({QString::fromStdString(lockFile), "0", "WS1", "a", "posix"});
    ForeignPeer last({QString::fromStdString(lockFile), "254", "WS2", "b", "ofd"});
    QVERIFY(first.ready());
    QVERIFY(last.ready());
    std::vector<DatabasePtr> crowd(252);
    for (auto& database : crowd) QVERIFY(OpenDao(path, &database).ok());
    // A second connection released without Close, as the window's probe releases its own,
    // must free the last slot each time. (It reads no mode while another engine is in.)
    for (int i = 0; i < 300; ++i) QCOMPARE(JoinedMode(crowd.front()), -1);
    QVERIFY(OpenDao(path, &crowd.emplace_back()).ok());
    // Full: another process is refused; this one, listed already, joins without a record.
    QVERIFY(OtherProcess({"hold", path}).errors().starts_with("quilletctl: error 3050: "));
    DatabasePtr oneTooMany;
    QVERIFY(OpenDao(path, &oneTooMany).ok());
    oneTooMany.reset();

    crowd[1].reset();  // releasing the last reference closes it and frees its slot
    QVERIFY(OpenDao(path, &oneTooMany).ok());
    QCOMPARE(ReadBytes(lockFile),
             JetRecord("WS1", "a") + Record().repeated(253) + JetRecord("WS2", "b"));
  }

  // A lock file holds nothing but names of text padded with NULs or spaces: Jet's own is one
  // and cleared when stale; anything else under its name is left alone and the open refused.
  void lockFileIsToldByItsRecords_data() {
    Columns<QByteArray, bool>("bytes", "lockFile");
    // Jet's, as in the shared samples when they are there: names NUL-ended, then spaces.
    QByteArray jets = JetRecord(QByteArray("DP002481F48D17\0", 15), QByteArray("Admin\0", 6), ' ');
    if (QFile sample(QUILLET_SAMPLES "/System.ldb"); sample.open(QIODevice::ReadOnly))
      jets = sample.readAll();
    QTest::newRow("Jet's own") << jets << true;
    QTest::newRow("ours, a cleared record between")
        << Record() + QByteArray(kRecord, '\0') + Record("clerk") << true;
    QTest::newRow("bytes after a name's NUL")
        << JetRecord("WS-01", QByteArray("Admin\0x", 7)) << false;
  }
  void lockFileIsToldByItsRecords() {
    const auto [bytes, lockFile] = Fetch<QByteArray, bool>("bytes", "lockFile");
    TempFolder folder;
    const std::string path = folder.database("told.mdb");
    const std::string ldb = folder.write("told.ldb", bytes);
    QCOMPARE(CouldBeLockFileOf(ldb, path), lockFile);
    DatabasePtr database;
    QCOMPARE(OpenDao(path, &database).ok(), lockFile);
    database.reset();
    QCOMPARE(Exists(ldb), !lockFile);  // a stale one goes with the last one out
    if (!lockFile) QCOMPARE(ReadBytes(ldb), bytes);
  }

  // Linux would unlink a file in use: Kill refuses what anyone holds, deletes what a crash left.
  void killDeletesOnlyWhatNobodyHolds() {
    TempFolder folder;
    const std::string path = folder.database("held here.mdb");
    const std::string lockFile = folder.file("held here.ldb");
    const std::string denied = "70: Permission denied";
    OtherProcess holder({"hold", path, "--record"});  // a record-level session elsewhere
    QVERIFY(!holder.line().empty());
    QCOMPARE(Failure(Kill(lockFile)), denied);
    DatabasePtr ours;
    QVERIFY(OpenDao(path, &ours).ok());  // the refused Kill left the file usable
    QCOMPARE(Failure(Kill(path)), denied);
    ours.reset();
    holder.stop(SIGKILL);
    const QByteArray stale = ReadBytes(lockFile);
    QCOMPARE(stale, Record() + QByteArray(kRecord, '\0'));  // what a crash leaves
    // The dead holder's record keeps no mode alive; the next session's last one out deletes it.
    QCOMPARE(CheckedMode(path), QString("page"));
    QVERIFY(!Exists(lockFile));
    folder.write("held here.ldb", stale);
    QCOMPARE(Failure(Kill(lockFile)), kOk);
    QVERIFY(!Exists(lockFile));
    QVERIFY(OpenDao(path, &ours, true).ok());
    QCOMPARE(Failure(Kill(path)), denied);
    QCOMPARE(JoinedMode(ours), -1);  // no second connection gets past our own exclusive hold
  }

  // Whoever may read the database may join it and write a record, whatever the creator's umask.
  void lockFileTakesTheDatabasePermissions() {
    TempFolder folder;
    const std::string path = folder.database("perm.mdb");
    ::umask(077);  // for this test process only
    for (auto [databaseMode, lockMode] :
         {std::pair{0664, 0666}, {0640, 0660}, {0600, 0600}, {0444, 0666}}) {
      QCOMPARE(::chmod(path.c_str(), mode_t(databaseMode)), 0);
      DatabasePtr database;
      QVERIFY(OpenDao(path, &database).ok());
      QCOMPARE(int(std::filesystem::status(folder.file("perm.ldb")).permissions()), lockMode);
    }
  }

  // A user who may not read the database or create its lock file gets 3051.
  void userWithoutWriteAccess() {
    if (::geteuid() != 0) QSKIP("needs root to act as another user");
    TempFolder folder;
    QCOMPARE(::chmod(folder.path.c_str(), 0755), 0);
    const std::string path = folder.database("locked out.mdb");
    const uid_t nobody = OtherProcess::kNobody;
    const std::string cannotOpen = "quilletctl: error 3051: ";
    for (mode_t mode : {0600, 0666}) {
      QCOMPARE(::chmod(path.c_str(), mode), 0);
      QVERIFY(OtherProcess({"check", path}, nobody).errors().starts_with(cannotOpen));
    }
    QCOMPARE(::chmod(path.c_str(), 0644), 0);
    QVERIFY(OtherProcess({"hold", path, "--exclusive"}, nobody).errors().starts_with(cannotOpen));
    OtherProcess reader({"hold", path, "--exclusive", "--read-only"}, nobody);
    QCOMPARE(reader.line(), "holding " + path + " in Page Level mode (exclusive)");
    DatabasePtr database;
    QCOMPARE(OpenDao(path, &database).number(), 3045);
  }

  // On a full file system the open fails and leaves no empty lock file behind.
  void fullDiskLeavesNoLockFile() {
    TempFolder folder;
    if (::mount("tmpfs", folder.path.c_str(), "tmpfs", 0, "size=16k") != 0)
      QSKIP("cannot mount a small tmpfs here (needs root)");
    const auto unmount = qScopeGuard([&] { ::umount2(folder.path.c_str(), MNT_DETACH); });
    const std::string path = folder.database("full.mdb");  // 12 KB
    folder.write("filler", QByteArray(4096, 'f'));         // and nothing left
    OtherProcess check({"check", path});
    QCOMPARE(check.errors(), std::string("quilletctl: error 3050: Could not lock file.\n"));
    QCOMPARE(check.stop(), 1);
    QVERIFY(!Exists(folder.file("full.ldb")));
    QCOMPARE(ReadBytes(path), JetDatabaseBytes());
  }

  // Read-only users join: first, their mode holds for all; later, they join others'; the
  // lock file goes with the last one out, whoever that is.
  void userWhoMayOnlyRead() {
    if (::geteuid() != 0) QSKIP("needs root to act as another user");
    TempFolder folder;
    QCOMPARE(::chmod(folder.path.c_str(), 01777), 0);
    const std::string path = folder.database("read only.mdb");
    QCOMPARE(::chmod(path.c_str(), 0644), 0);  // root's
    const std::string lockFile = folder.file("read only.ldb");
    const uid_t nobody = OtherProcess::kNobody;
    QCOMPARE(CheckedMode(path, nobody), QString("page"));
    QVERIFY(!Exists(lockFile));

    OtherProcess reader({"hold", path, "--read-only", "--record"}, nobody);
    QCOMPARE(reader.line(), "holding " + path + " in Record Level mode");
    DatabasePtr ours, exclusive;
    QVERIFY(OpenDao(path, &ours).ok());
    QCOMPARE(JoinedMode(ours), 1);
    QCOMPARE(OpenDao(path, &exclusive, true).number(), 3045);
    QCOMPARE(OtherProcess({"users", path}).output(),
             "0\t" + Host().toStdString() + "\tAdmin\tlive here\n1\t" + Host().toStdString() +
                 "\tAdmin\tlive here\n");
    QCOMPARE(reader.stop(), 0);
    QVERIFY(Exists(lockFile));  // ours is still in it
    ours.reset();
    QVERIFY(!Exists(lockFile));

    QVERIFY(OpenDao(path, &ours).ok());  // page level, a writer first
    OtherProcess joiner({"hold", path, "--read-only", "--record"}, nobody);
    QCOMPARE(joiner.line(),
             "holding " + path + " in Page Level mode, not the Record Level mode asked for");
    QCOMPARE(joiner.stop(), 4);
    ours.reset();
    QVERIFY(!Exists(lockFile));
    QCOMPARE(ReadBytes(path), JetDatabaseBytes());
  }

  // A Kill from another thread never removes the lock file under a joining connection.
  void joinersRaceAKillOfTheLockFile() {
    TempFolder folder;
    const std::string path = folder.database("race.mdb");
    const std::string lockFile = folder.file("race.ldb");
    std::atomic<bool> done{false};
    std::atomic<int> kills{0};
    std::thread killer([&] {
      while (!done) kills += Kill(lockFile).ok();
    });
    int failures = 0;
    for (int round = 0; failures == 0 && (round < 1500 || (kills == 0 && round < 50000)); ++round) {
      if (round % 8 == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // room for a Kill
      DatabasePtr database;
      failures += !OpenDao(path, &database).ok() || ReadBytes(lockFile).size() < kRecord ||
                  Kill(lockFile).number() != kErrPermissionDenied;
    }
    done = true;
    killer.join();
    QCOMPARE(failures, 0);
    QVERIFY(kills > 0);  // the killer did get between the connections
  }
};

QTEST_GUILESS_MAIN(LockFileTest)
#include "LockFileTest.moc"
