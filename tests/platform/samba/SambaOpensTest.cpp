// Samba's open files and its clients' locks from recorded smbstatus --json output, and edits to
// read or refuse.

#include "platform/samba/SambaOpens.h"
#include "support/DataRows.h"
#include "support/SambaStandIn.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// The recorded share's files (smbstatus/README.md).
constexpr dev_t kDevice = 65024;
constexpr ino_t kDatabase = 10952707;  // a.mdb
constexpr ino_t kLockFile = 10952738;  // a.ldb
constexpr ino_t kOther = 10952721;     // b.mdb

// One line per open, sorted: Samba lists them in no particular order.
QStringList Described(const std::vector<SambaOpen>& opens) {
  QStringList lines;
  for (const SambaOpen& open : opens) {
    lines << QStringLiteral("%1 %2 %3 %4%5")
                 .arg(QString::fromStdString(open.machine), QString::fromStdString(open.user),
                      QString::fromStdString(open.address), QString::fromStdString(open.shareMode),
                      open.shutsOutOthers ? " shuts out" : "");
  }
  lines.sort();
  return lines;
}

QByteArray Edited(const char* name, const QByteArray& before, const QByteArray& after) {
  QByteArray json = Recording(name);
  if (!json.contains(before)) qFatal("%s has no %s", name, before.constData());
  return json.replace(before, after);
}

}  // namespace

class SambaOpensTest : public QObject {
  Q_OBJECT

 private slots:
  void opensOfEachFile_data() {
    Columns<QByteArray, dev_t, ino_t, QStringList>("json", "device", "inode", "opens");
    const QString shared = QStringLiteral("127.0.0.1 nobody ipv4:127.0.0.1:%1 shared");

    QTest::newRow("empty table") << Recording("empty.json") << kDevice << kDatabase
                                 << QStringList();
    QTest::newRow("database open twice, each open with its own session")
        << Recording("open-twice.json") << kDevice << kDatabase
        << QStringList{shared.arg(50074), shared.arg(50080)};
    QTest::newRow("database open twice: its lock file is not open")
        << Recording("open-twice.json") << kDevice << kLockFile << QStringList();
    QTest::newRow("the same inode on another device is another file")
        << Recording("open-twice.json") << kDevice + 1 << kDatabase << QStringList();
    QTest::newRow("lock file only: the lock file") << Recording("lock-file-only.json") << kDevice
                                                   << kLockFile << QStringList{shared.arg(51130)};
    QTest::newRow("lock file only: not the database")
        << Recording("lock-file-only.json") << kDevice << kDatabase << QStringList();
    QTest::newRow("share mode none shuts others out")
        << Recording("share-mode-none.json") << kDevice << kDatabase
        << QStringList{"127.0.0.1 nobody ipv4:127.0.0.1:51144 exclusive shuts out"};
    QTest::newRow("beside it, another client's shared open of another file")
        << Recording("share-mode-none.json") << kDevice << kOther << QStringList{shared.arg(51146)};
    QTest::newRow("sharing reading only shuts out a Jet engine, which writes")
        << Edited("open-twice.json", R"("READ": true, "WRITE": true, "DELETE")",
                  R"("READ": true, "WRITE": false, "DELETE")")
        << kDevice << kDatabase
        << QStringList{"127.0.0.1 nobody ipv4:127.0.0.1:50074 exclusive shuts out",
                       "127.0.0.1 nobody ipv4:127.0.0.1:50080 exclusive shuts out"};
    QTest::newRow("an open whose session is gone still counts, unnamed")
        << Edited("lock-file-only.json", R"("sessions": {"719901095": {)",
                  R"("sessions": {}, "gone": {"x": {)")
        << kDevice << kLockFile << QStringList{"   shared"};
    // Samba writes them as signed 64-bit integers: past 2^63 they are negative.
    QTest::newRow("an inode past 2^63") << Edited("lock-file-only.json", "10952738", "-2")
                                        << kDevice << ino_t(-2) << QStringList{shared.arg(51130)};
    QTest::newRow("an inode past 2^53 is matched exactly, not as the nearest double")
        << Edited("lock-file-only.json", "10952738", "9007199254740993") << kDevice
        << ino_t(9007199254740992) << QStringList();
  }
  void opensOfEachFile() {
    const auto [json, device, inode, opens] =
        Fetch<QByteArray, dev_t, ino_t, QStringList>("json", "device", "inode", "opens");
    const SambaTable table = ParseSmbstatusJson(json);
    QVERIFY2(table.read, table.reason.c_str());
    QCOMPARE(Described(OpensOf(table, device, inode)), opens);
  }

  // smbstatus -B: a client's user lock of slot 0 in a.ldb (smbstatus/README.md), listed with
  // Samba's defaults and with posix locking = no, and nowhere with locking = no; output
  // without -B has no locks, its opens as before.
  void locksOfEachFile_data() {
    Columns<QByteArray, ino_t, QStringList, int>("json", "inode", "locks", "opens");
    const QStringList userLock{"W 268435457-268435458"};
    QTest::newRow("defaults") << Recording("byte-range-lock.json") << ino_t(10953226) << userLock
                              << 1;
    QTest::newRow("posix locking = no")
        << Recording("byte-range-lock-posix-locking-no.json") << ino_t(10953356) << userLock << 1;
    QTest::newRow("locking = no: none kept")
        << Recording("byte-range-lock-locking-no.json") << ino_t(10953368) << QStringList() << 1;
    QTest::newRow("another file has none")
        << Recording("byte-range-lock.json") << ino_t(10953356) << QStringList() << 0;
    QTest::newRow("without -B") << Recording("lock-file-only.json") << kLockFile << QStringList()
                                << 1;
    QTest::newRow("a read lock to the end of everything")
        << Edited("byte-range-lock.json",
                  R"("type": "W", "flavour": "Windows", "start": 268435457)",
                  R"("type": "R", "flavour": "POSIX", "start": 18446744073709551615)")
        << ino_t(10953226) << QStringList{"R 9223372036854775807-9223372036854775807"} << 1;
  }
  void locksOfEachFile() {
    const auto [json, inode, locks, opens] =
        Fetch<QByteArray, ino_t, QStringList, int>("json", "inode", "locks", "opens");
    const SambaTable table = ParseSmbstatusJson(json);
    QVERIFY2(table.read, table.reason.c_str());
    QStringList found;
    for (const SambaLock& lock : SambaLocksOf(table, kDevice, inode))
      found << QStringLiteral("%1 %2-%3").arg(lock.write ? "W" : "R").arg(lock.start).arg(lock.end);
    QCOMPARE(found, locks);
    QCOMPARE(int(OpensOf(table, kDevice, inode).size()), opens);
  }

  void refusesWhatItDoesNotUnderstand_data() {
    Columns<QByteArray, QString>("json", "reason");
    QTest::newRow("nothing") << QByteArray() << "not JSON";
    QTest::newRow("cut short") << Recording("open-twice.json").left(2000) << "not JSON";
    QTest::newRow("not an object") << QByteArray("[]") << "no \"open_files\"";
    QTest::newRow("smbstatus run by another user")
        << Recording("not-root.json") << "no \"open_files\"";
    QTest::newRow("smbstatus that reads another configuration than smbd's")
        << Recording("other-smb-conf.json") << "no \"open_files\"";
    QTest::newRow("no sessions") << Edited("open-twice.json", "\"sessions\"", "\"Sessions\"")
                                 << "no \"open_files\" and \"sessions\"";
    QTest::newRow("an inode as text")
        << Edited("open-twice.json", R"("inode": 10952707)", R"("inode": "10952707")")
        << "no device, inode or opens for /tmp/rec20/share/a.mdb";
    QTest::newRow("a device that is not whole")
        << Edited("open-twice.json", R"("devid": 65024)", R"("devid": 65024.5)")
        << "no device, inode or opens";
    QTest::newRow("opens not an object")
        << Edited("lock-file-only.json", R"("opens": {"11610/3": )",
                  R"("opens": "11610/3", "x": {"y": )")
        << "no device, inode or opens";
    QTest::newRow("an open without a share mode")
        << Edited("share-mode-none.json", R"("sharemode": {"hex": "0x00000000")",
                  R"("share_mode": {"hex": "0x00000000")")
        << "no share mode for an open of /tmp/rec20/share/a.mdb";
    QTest::newRow("byte-range locks not an object")
        << Edited("byte-range-lock-locking-no.json", R"("byte_range_locks": {})",
                  R"("byte_range_locks": [])")
        << "\"byte_range_locks\" is not an object";
    QTest::newRow("a lock without its start")
        << Edited("byte-range-lock.json", R"("start": 268435457)", R"("begin": 268435457)")
        << "a byte-range lock of /tmp/exp/s/defaults/a.ldb without";
    QTest::newRow("a lock of no known type")
        << Edited("byte-range-lock.json", R"("type": "W")", R"("type": "X")")
        << "a byte-range lock of";
    QTest::newRow("a lock's file without its inode")
        << Edited("byte-range-lock-posix-locking-no.json",
                  R"("inode": 10953356, "extid": 0}, "file_name")", R"("extid": 0}, "file_name")")
        << "a byte-range lock of";
  }
  void refusesWhatItDoesNotUnderstand() {
    const auto [json, reason] = Fetch<QByteArray, QString>("json", "reason");
    const SambaTable table = ParseSmbstatusJson(json);
    QVERIFY(!table.read);
    QVERIFY(table.opens.empty());
    QVERIFY2(QString::fromStdString(table.reason)
                 .startsWith("smbstatus printed what is not understood: " + reason),
             table.reason.c_str());
  }
};

QTEST_GUILESS_MAIN(SambaOpensTest)
#include "SambaOpensTest.moc"
