// A scan reads /proc/locks once: it finds what each file's own queries find, in a few queries.

#include <fcntl.h>

#include "platform/engine/DatabaseScan.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/LockProtocol.h"
#include "platform/engine/LockReach.h"
#include "platform/engine/Posix.h"
#include "platform/engine/UniqueFd.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

std::vector<HeldLock> Sorted(std::vector<HeldLock> locks) {
  std::sort(locks.begin(), locks.end(), [](const HeldLock& a, const HeldLock& b) {
    return std::tie(a.start, a.end, a.write) < std::tie(b.start, b.end, b.write);
  });
  return locks;
}

// `count` read locks of the description `fd`, on every other byte from `first` on: one lock
// over them all, its gaps unlocked from the top down (taken one by one, each would cost the
// kernel a walk over all the file's locks).
bool TakeReadLocks(int fd, off_t first, int count) {
  if (posix::TryLock(fd, F_RDLCK, {first, 2 * off_t{count} - 1}) != 0) return false;
  for (off_t gap = first + 2 * off_t{count} - 3; gap > first; gap -= 2) {
    if (posix::Unlock(fd, {gap, 1}) != 0) return false;
  }
  return true;
}

}  // namespace

namespace QTest {
template <>
char* toString(const std::vector<HeldLock>& locks) {
  QByteArray text;
  for (const HeldLock& lock : locks)
    text += QByteArray(lock.write ? "W " : "R ") + QByteArray::number(qint64(lock.start)) + '-' +
            QByteArray::number(qint64(lock.end)) + "; ";
  return qstrdup(text.constData());
}
}  // namespace QTest

class DatabaseScanTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { posix::ClearFaults(); }

  // Classic and OFD locks, on the database and its lock file, of other processes: the kernel's
  // list names each file by its device (major and minor in hex) and inode, with the last byte.
  void snapshotListsWhatQueriesFind() {
    TempFolder folder;
    const std::string path = folder.database("shared.mdb");
    OtherProcess first({"hold", path, "--record"});
    OtherProcess second({"hold", path});
    QVERIFY(first.line().starts_with("holding"));
    QVERIFY(second.line().starts_with("holding"));
    const QString lockFile = QString::fromStdString(folder.file("shared.ldb"));
    ForeignPeer wine({lockFile, "7", "WINE-PC", "sam", "posix"});
    ForeignPeer samba({lockFile, "9", "SMB-PC", "joe", "ofd"});
    ForeignPeer onDatabase({"--database", QString::fromStdString(path), "posix"});
    QVERIFY(wine.ready());
    QVERIFY(samba.ready());
    QVERIFY(onDatabase.ready());

    // The database: two marks and the other engine's lock; the lock file: four user locks.
    using lockmap::kPrivateBase, lockmap::UserLock;
    for (const auto& [file, held, judged] :
         {std::tuple{path, 3, posix::ByteRange{kPrivateBase, lockmap::kDatabasePrivateLength}},
          {folder.file("shared.ldb"), 4, posix::ByteRange{UserLock(0), lockmap::kSlots}}}) {
      const UniqueFd fd(posix::Open(file, O_RDONLY));
      struct stat info;
      QCOMPARE(posix::Fstat(fd.get(), &info), 0);
      if (!LockSnapshot::ListsLocksOf(LocksOf(fd.get())))
        QSKIP("/proc/locks does not list this temporary folder's files by their stat numbers");
      std::vector<HeldLock> queried;
      QVERIFY(QueryHeldLocks(fd.get(), judged, &queried));
      LockSnapshot snapshot;
      QVERIFY(snapshot.Read());
      QCOMPARE(Sorted(snapshot.Of(info.st_dev, info.st_ino)), Sorted(queried));
      QCOMPARE(int(queried.size()), held);
    }
  }

  // Two lock queries in all, whether one connection is in or two hundred.
  void connectionsCostNoQueries_data() { Rows<int>("connections", {{"1", 1}, {"200", 200}}); }
  void connectionsCostNoQueries() {
    QFETCH(int, connections);
    TempFolder folder;
    const std::string path = folder.database("crowd.mdb");
    std::vector<DatabasePtr> crowd(connections);
    for (DatabasePtr& database : crowd) QVERIFY(OpenDao(path, &database).ok());
    if (!LockSnapshot::ListsLocksOf(LocksOfPath(path)))
      QSKIP("/proc/locks does not list this temporary folder's files by their stat numbers");

    DatabaseScanner scanner;
    std::vector<DatabaseScan> scans(1);
    scans[0].path = path;
    posix::ClearFaults();  // calls are counted from here
    scanner.Scan(&scans);
    QCOMPARE(posix::CallCount(posix::Call::kTestLock), 2);
    QCOMPARE(scans[0].reason, std::string());
    QCOMPARE(int(scans[0].state), int(DatabaseScan::State::kOpen));
    QCOMPARE(int(scans[0].mode), int(LockingMode::kPage));
    QCOMPARE(scans[0].liveHere, connections);
    QCOMPARE(int(scans[0].users.size()), connections);
  }

  // An Access database and its .laccdb are only asked about: no lock is taken on either, not
  // even the gate a Jet database's look takes, and nothing is written or deleted.
  void accessFilesAreOnlyAskedAbout() {
    TempFolder folder;
    std::vector<DatabaseScan> scans(2);
    scans[0].path = folder.accessDatabase("held.accdb");
    scans[1].path = folder.write("gone.laccdb", JetRecord("PC-2", "joe"));
    scans[1].orphanLockFile = true;
    for (DatabaseScan& scan : scans) scan.access = true;
    folder.write("held.laccdb", JetRecord("PC-1", "ann"));
    ForeignPeer client(
        {QString::fromStdString(folder.file("held.laccdb")), "0", "PC-1", "ann", "ofd"});
    QVERIFY(client.ready());

    DatabaseScanner scanner;
    posix::ClearFaults();  // calls are counted from here
    scanner.Scan(&scans);
    QCOMPARE(int(scans[0].state), int(DatabaseScan::State::kOtherEngine));
    QCOMPARE(scans[0].liveElsewhere, 1);
    QCOMPARE(int(scans[1].state), int(DatabaseScan::State::kStaleLockFile));
    for (const posix::Call call : {posix::Call::kLock, posix::Call::kUnlock, posix::Call::kWrite,
                                   posix::Call::kUnlink, posix::Call::kRename})
      QCOMPARE(posix::CallCount(call), 0);
    QVERIFY(posix::CallCount(posix::Call::kTestLock) > 0);
  }

  // Read locks of another description on an orphan lock file, within its user locks and past
  // them: a thousand and four thousand cost the same lock queries, whether /proc/locks lists
  // them or it cannot be read or is too long to read (then the file's own queries tell).
  // Either way the verdict is the same.
  void orphanLocksCostNoQueries_data() {
    Columns<bool, int>("procLocks", "padding");  // padding: locks on another file
    QTest::newRow("/proc/locks read") << true << 0;
    QTest::newRow("/proc/locks unreadable") << false << 0;
    QTest::newRow("/proc/locks too long") << true << int(LockSnapshot::kMaxLines);
  }
  void orphanLocksCostNoQueries() {
    const auto [procLocks, padding] = Fetch<bool, int>("procLocks", "padding");
    std::vector<int> queries;
    for (const int locks : {1000, 4000}) {
      TempFolder folder;
      const std::string path = folder.write("orphan.ldb", JetRecord("WS-01", "Admin"));
      if (!LockSnapshot::ListsLocksOf(LocksOfPath(path)))
        QSKIP("/proc/locks does not list this temporary folder's files by their stat numbers");
      const UniqueFd other(posix::Open(path, O_RDONLY));
      const UniqueFd pad(posix::Open(folder.write("pad", {}), O_RDONLY));
      QVERIFY(TakeReadLocks(other.get(), lockmap::UserLock(0), locks));
      QVERIFY(padding == 0 || TakeReadLocks(pad.get(), 0, padding));
      posix::ClearFaults();  // calls are counted from here
      if (!procLocks)
        posix::InjectFault(posix::Call::kOpen, EACCES, {"/proc/locks"}, posix::kEveryCall);
      DatabaseScanner scanner;
      std::vector<DatabaseScan> scans(1);
      scans[0].path = path;
      scans[0].orphanLockFile = true;
      scanner.Scan(&scans);
      queries.push_back(posix::CallCount(posix::Call::kTestLock));
      QCOMPARE(int(scans[0].state), int(DatabaseScan::State::kUnknown));
      QVERIFY(scans[0].reason.starts_with("Someone holds this lock file"));
      // Slots 0, 2, ... 254: every user lock told by the file's own queries. /proc/locks, read
      // a page at a time while other programs take and drop locks, may drop a line or two.
      if (!procLocks || padding > 0) QCOMPARE(int(scans[0].users.size()), 128);
    }
    QCOMPARE(queries[1], queries[0]);
    QCOMPARE(queries[0] > 1, !procLocks || padding > 0);  // one query, and /proc/locks, else
  }
};

QTEST_GUILESS_MAIN(DatabaseScanTest)
#include "DatabaseScanTest.moc"
