// The ".ldb" beside a database: where it is, what it holds, who may join, when Kill deletes it.

#include <sys/inotify.h>
#include <sys/mount.h>

#include <QElapsedTimer>
#include <QScopeGuard>
#include <atomic>
#include <map>
#include <thread>

#include "platform/base/VbErrors.h"
#include "platform/engine/JetErrors.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/LockProtocol.h"
#include "support/EngineTestUtil.h"
#include "support/NameSwapper.h"

using namespace quillet;
using namespace quillet::test;

namespace {
constexpr int kRecord = 64;
constexpr uid_t kUser = OtherProcess::kNobody;

QByteArray Record(const QByteArray& user = "Admin") { return JetRecord(Host(), user); }

// Every name made, removed, renamed or changed in the folders, as the kernel tells it.
class FolderWatch {
 public:
  explicit FolderWatch(const std::vector<std::string>& folders)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    constexpr uint32_t kChanges = IN_ALL_EVENTS & ~(IN_ACCESS | IN_OPEN | IN_CLOSE_NOWRITE);
    for (const std::string& folder : folders) {
      const int watch = ::inotify_add_watch(fd_, folder.c_str(), kChanges);
      if (watch < 0) qFatal("cannot watch %s", folder.c_str());
      names_[watch] = std::filesystem::path(folder).filename().string();
    }
  }
  ~FolderWatch() { ::close(fd_); }
  // What happened since the last call, with how often: "empty/x.ldb created 3; ...".
  std::string changes() {
    std::map<std::string, int> seen;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        const char* kind = event->mask & IN_CREATE   ? " created"
                           : event->mask & IN_DELETE ? " deleted"
                           : event->mask & IN_MODIFY ? " written"
                                                     : " changed";
        ++seen[names_[event->wd] + "/" + (event->len ? event->name : "") + kind];
        at += sizeof(inotify_event) + event->len;
      }
    }
    std::string text;
    for (const auto& [change, times] : seen) text += change + " " + std::to_string(times) + "; ";
    return text;
  }

 private:
  int fd_;
  std::map<int, std::string> names_;
};

// A user's folder `home/d` holding their database x.mdb, and beside it links to two of
// root's folders: `target`, holding a lock file root's own session holds, and `empty`.
struct SwappedFolders {
  SwappedFolders() {
    for (const char* name : {"target", "empty", "home", "home/d"})
      QCOMPARE_EQ(::mkdir(top.file(name).c_str(), 0755), 0);
    QCOMPARE_EQ(::chmod(top.path.c_str(), 0755), 0);
    top.write("target/x.ldb", Record("root"));
    held = ::open(top.file("target/x.ldb").c_str(), O_RDWR | O_CLOEXEC);
    struct flock slot = {F_WRLCK, SEEK_SET, lockmap::UserLock(0), 1, 0};
    QCOMPARE_EQ(::fcntl(held, F_OFD_SETLK, &slot), 0);
    database = top.database("home/d/x.mdb");
    QCOMPARE_EQ(::symlink(top.file("target").c_str(), top.file("home/l").c_str()), 0);
    QCOMPARE_EQ(::symlink(top.file("empty").c_str(), top.file("home/e").c_str()), 0);
    for (const char* name : {"home", "home/d", "home/d/x.mdb", "home/l", "home/e"})
      QCOMPARE_EQ(::lchown(top.file(name).c_str(), kUser, kUser), 0);
    real = ::open(top.file("home/d").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  ~SwappedFolders() {
    ::close(held);
    ::close(real);
  }
  std::vector<NameSwapper::Pair> swaps(bool withEmpty) const {
    std::vector<NameSwapper::Pair> pairs{{top.file("home/d"), top.file("home/l")}};
    if (withEmpty) pairs.emplace_back(top.file("home/d"), top.file("home/e"));
    return pairs;
  }
  // A lock file a crash left in the user's folder, wherever its name leads now.
  void leaveStaleLockFile() const {
    const int fd = ::openat(real, "x.ldb", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    QCOMPARE_EQ(::write(fd, Record().constData(), kRecord), kRecord);
    QCOMPARE_EQ(::fchown(fd, kUser, kUser), 0);
    ::close(fd);
  }
  ino_t targetLockFile() const {
    struct stat info;
    return ::lstat(top.file("target/x.ldb").c_str(), &info) == 0 ? info.st_ino : 0;
  }

  TempFolder top;
  std::string database;
  int held = -1;  // root's session in target/x.ldb
  int real = -1;  // the user's folder, whatever its name by now
};
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

  // Root makes a lock file in another user's folder only where that user could have, and
  // hands it to them; elsewhere its open fails as any user's that may not create it does.
  // An existing lock file is joined whatever the folder allows.
  void rootMakesLockFilesOnlyAsTheFolderOwnerCould_data() {
    Columns<int, bool, bool>("folderMode", "lockFileThere", "joins");
    QTest::newRow("the owner may write") << 0755 << false << true;
    QTest::newRow("only others may write") << 0577 << false << false;
    QTest::newRow("nobody may write") << 0555 << false << false;
    QTest::newRow("nobody may write, a lock file there") << 0555 << true << true;
  }
  void rootMakesLockFilesOnlyAsTheFolderOwnerCould() {
    const auto [folderMode, lockFileThere, joins] =
        Fetch<int, bool, bool>("folderMode", "lockFileThere", "joins");
    if (::geteuid() != 0) QSKIP("needs root to act in another user's folder");
    TempFolder top;
    QCOMPARE(::chmod(top.path.c_str(), 0755), 0);
    QCOMPARE(::mkdir(top.file("home").c_str(), 0755), 0);
    const std::string path = top.database("home/x.mdb"), lockFile = top.file("home/x.ldb");
    std::vector<std::string> users{top.file("home"), path};
    if (lockFileThere) users.push_back(top.write("home/x.ldb", QByteArray(kRecord, '\0')));
    for (const std::string& name : users) QCOMPARE(::lchown(name.c_str(), kUser, kUser), 0);
    QCOMPARE(::chmod(top.file("home").c_str(), mode_t(folderMode)), 0);
    DatabasePtr database;
    QCOMPARE(Failure(OpenDao(path, &database)),
             joins ? kOk : Failure(JetError(kJetErrCannotOpen, path)));
    struct stat made {};
    QCOMPARE(::lstat(lockFile.c_str(), &made) == 0, joins);
    if (joins) QCOMPARE(std::pair(made.st_uid, made.st_gid), std::pair(kUser, gid_t(kUser)));
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

  // Root opens and closes the user's database, clears a stale lock file beside it or runs
  // `check`, while the user swaps their folder for links to root's folders: every step lands
  // in the folder where the database was found. Root's lock file elsewhere (in use: it is
  // never Kill's) is never deleted, and nothing is made or changed in a folder the user does
  // not own.
  void rootInAFolderItsOwnerSwaps_data() {
    Columns<QString, int>("what", "rounds");
    QTest::newRow("open and close") << "open" << 20000;
    QTest::newRow("Kill a stale lock file") << "Kill" << 20000;
    QTest::newRow("quilletctl check") << "check" << 60;
  }
  void rootInAFolderItsOwnerSwaps() {
    const auto [what, rounds] = Fetch<QString, int>("what", "rounds");
    if (::geteuid() != 0) QSKIP("needs root to act as another user");
    SwappedFolders folders;
    const ino_t before = folders.targetLockFile();
    const std::string lockFile = folders.top.file("home/d/x.ldb");
    FolderWatch watch({folders.top.file("target"), folders.top.file("empty")});
    // Only root's lock file is Kill's to meet: swapping in the empty folder would dilute it.
    NameSwapper swapper(kUser, folders.swaps(/*withEmpty=*/what != "Kill"), 20);
    QVERIFY(swapper.running());
    int done = 0;
    QElapsedTimer clock;
    clock.start();
    int round = 0;
    for (; round < rounds && !clock.hasExpired(5000); ++round) {
      if (what == "open") {
        DatabasePtr database;
        done += OpenDao(folders.database, &database).ok();
      } else if (what == "Kill") {
        folders.leaveStaleLockFile();
        done += Kill(lockFile).ok();
      } else {
        done += CheckedMode(folders.database) == "page";
      }
    }
    const long swaps = swapper.swaps();
    qInfo("%ld swaps; %d of %d rounds reached the database", swaps, done, round);
    QCOMPARE(watch.changes(), std::string());
    QCOMPARE(folders.targetLockFile(), before);
    QVERIFY(swaps > 0);
    QVERIFY(done > 0);  // the user's own folder was found too, and used
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
