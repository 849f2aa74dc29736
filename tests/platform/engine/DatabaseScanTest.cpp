// A scan tells who is in from each file's own lock queries, bounded by the bytes that tell it.

#include <fcntl.h>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/DatabaseScan.h"
#include "platform/engine/HeldLocks.h"
#include "platform/engine/LockProtocol.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

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

class DatabaseScanTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { posix::ClearFaults(); }

  // Classic and OFD locks, on the database and its lock file, of other processes, all found;
  // and a crowd of this engine's connections told whole, each in its slot.
  void queriesFindEveryHolder() {
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
      std::vector<HeldLock> queried;
      QVERIFY(QueryHeldLocks(fd.get(), judged, &queried));
      QCOMPARE(int(queried.size()), held);
    }
    const DatabaseScan scan = Scanned(path);
    QCOMPARE(int(scan.state), int(DatabaseScan::State::kOtherEngine));
    QCOMPARE(scan.liveHere, 2);
    QCOMPARE(scan.liveElsewhere, 2);
  }

  void crowdIsToldWhole_data() { Rows<int>("connections", {{"1", 1}, {"200", 200}}); }
  void crowdIsToldWhole() {
    QFETCH(int, connections);
    TempFolder folder;
    const std::string path = folder.database("crowd.mdb");
    std::vector<DatabasePtr> crowd(connections);
    for (DatabasePtr& database : crowd) QVERIFY(OpenDao(path, &database).ok());

    const DatabaseScan scan = Scanned(path);
    QCOMPARE(scan.reason, std::string());
    QCOMPARE(int(scan.state), int(DatabaseScan::State::kOpen));
    QCOMPARE(int(scan.mode), int(LockingMode::kPage));
    QCOMPARE(scan.liveHere, connections);
    QCOMPARE(int(scan.users.size()), connections);
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

  // Out of descriptors, the reason says so, not what a refused open would.
  void outOfDescriptorsSaysSo_data() {
    Rows<int>("error", {{"this process", EMFILE}, {"the system", ENFILE}});
  }
  void outOfDescriptorsSaysSo() {
    QFETCH(int, error);
    TempFolder folder;
    const std::string path = folder.database("a.mdb");
    posix::InjectFault(posix::Call::kOpen, error, {"a.mdb"}, posix::kEveryCall);
    const DatabaseScan scan = Scanned(path);
    QCOMPARE(int(scan.state), int(DatabaseScan::State::kUnknown));
    QCOMPARE(scan.reason, std::string("Cannot open any more databases. ") +
                              (error == EMFILE ? "This process has" : "The system has") +
                              " too many files open.");
  }

  // Read locks of another description on an orphan lock file, within its user locks and past
  // them: a thousand and four thousand cost the same lock queries, and every user lock held is
  // told.
  void orphanLocksCostNoQueries() {
    std::vector<int> queries;
    for (const int locks : {1000, 4000}) {
      TempFolder folder;
      const std::string path = folder.write("orphan.ldb", JetRecord("WS-01", "Admin"));
      const UniqueFd other(posix::Open(path, O_RDONLY));
      QVERIFY(TakeReadLocks(other.get(), lockmap::UserLock(0), locks));
      posix::ClearFaults();  // calls are counted from here
      const DatabaseScan scan = Scanned(path, /*orphanLockFile=*/true);
      queries.push_back(posix::CallCount(posix::Call::kTestLock));
      QCOMPARE(int(scan.state), int(DatabaseScan::State::kUnknown));
      QVERIFY(scan.reason.starts_with("Someone holds this lock file"));
      QCOMPARE(int(scan.users.size()), 128);  // slots 0, 2, ... 254
    }
    QCOMPARE(queries[1], queries[0]);
  }
};

QTEST_GUILESS_MAIN(DatabaseScanTest)
#include "DatabaseScanTest.moc"
