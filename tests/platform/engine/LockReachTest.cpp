// Where a file's locks live, and what the engine claims where they stay on this computer.

#include <sys/mount.h>

#include "platform/base/Posix.h"
#include "platform/engine/DatabaseScan.h"
#include "platform/engine/JetSession.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFileUsers.h"
#include "platform/engine/LockReach.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

const std::string kCannotBeFound =
    "Information: The type of locking the database is using cannot be found.\n";

dev_t DeviceOf(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? info.st_dev : 0;
}

}  // namespace

class LockReachTest : public QObject {
  Q_OBJECT

 private slots:
  void classifiesMountInfoLines_data() {
    Columns<QString, int, QString, QString>("line", "reach", "type", "mountPoint");
    const int local = int(LockReach::kLocal), forwarded = int(LockReach::kForwarded),
              here = int(LockReach::kThisComputerOnly);
    const QString cifs =
        "rw,vers=3.1.1,cache=strict,username=ann,uid=0,noforceuid,"
        "addr=192.0.2.10,soft,nounix,serverino,mapposix,rsize=4194304";
    const QString nfs =
        "rw,vers=4.2,rsize=1048576,hard,proto=tcp,timeo=600,sec=sys,"
        "clientaddr=192.0.2.5,local_lock=%1,addr=192.0.2.10";
    using Row = std::tuple<const char*, QString, int, const char*, const char*>;
    for (const auto& [row, line, reach, type, mountPoint] : std::initializer_list<Row>{
             {"ext4", "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard", local, "ext4", "/"},
             {"tmpfs", "24 23 0:22 / /dev/shm rw,nosuid,nodev - tmpfs tmpfs rw,size=2468k", local,
              "tmpfs", "/dev/shm"},
             {"overlay, optional fields",
              "582 520 0:51 / / rw,relatime master:1 shared:7 - overlay overlay "
              "rw,lowerdir=/l/ABC,upperdir=/x/diff,workdir=/x/work",
              local, "overlay", "/"},
             {"sshfs",
              "91 26 0:45 / /home/ann/share rw,nosuid,nodev,relatime shared:50 - fuse.sshfs "
              "ann@fileserver:/srv/data rw,user_id=1000,group_id=1000",
              here, "fuse.sshfs", "/home/ann/share"},
             {"gvfs",
              "95 35 0:48 / /run/user/1000/gvfs rw,nosuid,nodev,relatime shared:52 - "
              "fuse.gvfsd-fuse gvfsd-fuse rw,user_id=1000,group_id=1000",
              here, "fuse.gvfsd-fuse", "/run/user/1000/gvfs"},
             {"cifs", "100 26 0:50 / /mnt/office rw,relatime shared:60 - cifs //fs/office " + cifs,
              forwarded, "cifs", "/mnt/office"},
             {"cifs, nobrl",
              "100 26 0:50 / /mnt/office rw,relatime - cifs //fs/office " + cifs + ",nobrl", here,
              "cifs", "/mnt/office"},
             {"nfs4", "110 26 0:52 / /mnt/nfs rw,relatime - nfs4 fs:/export " + nfs.arg("none"),
              forwarded, "nfs4", "/mnt/nfs"},
             {"nfs4, local flock only",
              "110 26 0:52 / /mnt/nfs rw,relatime - nfs4 fs:/export " + nfs.arg("flock"), forwarded,
              "nfs4", "/mnt/nfs"},
             {"nfs4, local_lock=all",
              "110 26 0:52 / /mnt/nfs rw,relatime - nfs4 fs:/export " + nfs.arg("all"), here,
              "nfs4", "/mnt/nfs"},
             {"nfs, nolock",
              "111 26 0:53 / /mnt/v3 rw,relatime - nfs fs:/export rw,vers=3,nolock,proto=tcp", here,
              "nfs", "/mnt/v3"},
             {"vboxsf", "140 26 0:62 / /media/sf_data rw,nodev,relatime - vboxsf data rw", here,
              "vboxsf", "/media/sf_data"},
             {"unknown type", "120 26 0:60 / /mnt/odd rw,relatime - weirdfs none rw", here,
              "weirdfs", "/mnt/odd"},
             {"escaped mount point",
              "130 26 0:61 / /mnt/Office\\040Share\\134x rw - cifs //fs/Office\\040Share " + cifs,
              forwarded, "cifs", "/mnt/Office Share\\x"}})
      QTest::newRow(row) << line << reach << QString(type) << QString(mountPoint);
  }
  void classifiesMountInfoLines() {
    const auto [line, reach, type, mountPoint] =
        Fetch<QString, int, QString, QString>("line", "reach", "type", "mountPoint");
    MountInfoEntry entry;
    QVERIFY(ParseMountInfoLine(line.toStdString(), &entry));
    QCOMPARE(QString::fromStdString(entry.type), type);
    QCOMPARE(QString::fromStdString(entry.mountPoint), mountPoint);
    QCOMPARE(int(ClassifyMount(entry.type, entry.mountOptions, entry.superOptions)), reach);
  }

  void rejectsWhatIsNotMountInfo() {
    for (const char* line :
         {"", "26 1 254:0 / / rw,relatime ext4 /dev/vda rw",
          "26 1 254 / / rw,relatime - ext4 /dev/vda rw", "26 1 254:0 / / rw,relatime - ext4",
          "x26 1 254:0 / / rw,relatime - ext4 /dev/vda rw"}) {
      MountInfoEntry entry;
      QVERIFY2(!ParseMountInfoLine(line, &entry), line);
    }
  }

  // No false alarm: this disk and tmpfs are local, the mode read as ever.
  void localFoldersAreSeen() {
    TempFolder disk;
    std::vector<std::string> folders{disk.path};
    if (FindmntType("/dev/shm") == "tmpfs") folders.push_back("/dev/shm");
    for (const std::string& folder : folders) {
      const std::string path = folder + "/quillet-reach-" + std::to_string(::getpid()) + ".mdb";
      QVERIFY(std::ofstream(path, std::ios::binary) << JetDatabaseBytes().toStdString());
      const MountLocks mount = LocksOfPath(path);
      QCOMPARE(QString::fromStdString(FilesystemName(mount)), FindmntType(path));
      QCOMPARE(int(mount.reach), int(LockReach::kLocal));
      {
        Connection first;
        QCOMPARE(Failure(OpenAdo(first, path, 1)), kOk);
        Connection probe;
        QCOMPARE(Failure(OpenAdo(probe, path, 0)), kOk);
        QCOMPARE(ModeOf(probe), 1);
      }
      QVERIFY(std::filesystem::remove(path));
    }
  }

  // A failed lock query, or a mount table that cannot be read (even of a local disk: never the
  // magic number's answer), tells nothing: no mode claimed, users unknown, no lock file
  // deleted; and once the calls work again, all is as before, nothing failed remembered. An
  // open connection keeps the mount it was told at its open.
  void failedLookCannotTell_data() {
    Columns<int, QString, int>("call", "target", "mode");
    using posix::Call;
    QTest::newRow("lock query fails") << int(Call::kTestLock) << QString() << -100;
    QTest::newRow("mount table open fails") << int(Call::kOpen) << "mountinfo" << 1;
    QTest::newRow("mount table read fails") << int(Call::kRead) << "mountinfo" << 1;
  }
  void failedLookCannotTell() {
    const auto [call, target, expectedMode] = Fetch<int, QString, int>("call", "target", "mode");
    TempFolder folder;
    const std::string path = folder.database("q.mdb");
    Connection connection;
    QCOMPARE(Failure(OpenAdo(connection, path, 1)), kOk);
    QCOMPARE(ModeOf(connection), 1);

    // A poll that fails forgets every mount remembered: the next look reads the table afresh.
    posix::InjectFault(posix::Call::kPoll, EIO, {.path = "mountinfo"});
    posix::InjectFault(posix::Call(call), EIO, {.path = target.toStdString()}, posix::kEveryCall);
    const int mode = ModeOf(connection);
    std::string lockPath;
    std::vector<LockFileUser> users;
    const Status read = ReadLockFileUsers(path, &lockPath, &users);
    const QByteArray before = ReadBytes(lockPath);
    const Status killed = Kill(lockPath);
    posix::ClearFaults();

    QCOMPARE(mode, expectedMode);
    QCOMPARE(Failure(read), kOk);
    QCOMPARE(users.size(), size_t(1));
    QCOMPARE(int(users[0].state), int(LockFileUser::State::kUnknown));
    QVERIFY(!killed.ok());
    QCOMPARE(ReadBytes(lockPath), before);
    QCOMPARE(ModeOf(connection), 1);
    QVERIFY(LocksOfPath(path).seen());
  }

  // A session on the server is invisible through a FUSE mount: nothing claimed (a scan calls
  // it unknown), its lock file never touched, nor one created where there was none.
  void throughAClientMountNothingIsClaimed_data() {
    Rows<bool>("held", {{"held on the server", true}, {"nobody in", false}});
  }
  void throughAClientMountNothingIsClaimed() {
    QFETCH(bool, held);
    if (!FuseView::Possible()) QSKIP("this machine has no /dev/fuse");
    TempFolder server;
    const std::string real = server.database("a.mdb");
    std::optional<OtherProcess> holder;
    if (held) holder.emplace(std::vector<std::string>{"hold", real, "--record"});
    if (holder) QCOMPARE(holder->line(), "holding " + real + " in Record Level mode");
    const QByteArray lockFile = ReadBytes(server.file("a.ldb"));
    QCOMPARE(lockFile.isEmpty(), !held);

    FuseView view(server.path);
    QVERIFY(view.mounted());
    const std::string viewed = view.file("a.mdb");
    QVERIFY(!LocksOfPath(viewed).seen());

    OtherProcess check({"check", viewed});
    QCOMPARE(check.output(), kCannotBeFound);
    OtherProcess json({"check", "--json", viewed});
    const QJsonObject checked = JsonOf(json.output());
    QCOMPARE(checked["mode"], QJsonValue());
    QCOMPARE(checked["locks"].toString(), "this computer only");
    QCOMPARE(checked["filesystem"].toString(), FindmntType(view.mountPoint()));
    OtherProcess users({"users", viewed});
    QCOMPARE(users.output(), held ? "0\t" + Host().toStdString() + "\tAdmin\tunknown\n" : "");
    OtherProcess hold({"hold", viewed, "--record"});
    QCOMPARE(hold.line(),
             "holding " + viewed + " in an undetermined mode, not the Record Level mode asked for");
    QCOMPARE(hold.stop(), 4);
    OtherProcess scan({"scan", "--json", view.mountPoint()});
    const QJsonObject scanned = JsonOf(scan.output());
    QCOMPARE(scan.stop(), 5);
    QCOMPARE(scanned["state"].toString(), "unknown");
    QCOMPARE(scanned["reason"].toString().toStdString(), LocksUnseenReason(LocksOfPath(viewed)));
    QCOMPARE(scanned["locks"].toString(), "this computer only");
    OtherProcess exclusive({"hold", viewed, "--exclusive"});
    QCOMPARE(exclusive.stop(0), 1);
    QVERIFY(exclusive.errors().starts_with("quilletctl: error 3050: Could not lock file."));
    QCOMPARE(Failure(Kill(view.file("a.ldb"))).substr(0, 2), held ? "70" : "53");

    QCOMPARE(ReadBytes(server.file("a.ldb")), lockFile);
    QCOMPARE(Exists(server.file("a.ldb")), held);
  }

  // A FUSE mount that gets the device number of a tmpfs unmounted a moment before (anonymous
  // device numbers and mount IDs both go to the lowest free) is not taken for that tmpfs by
  // a process that classed it: nothing claimed, no lock file created or deleted through it.
  void aMountIsNotTakenForTheOneBeforeIt() {
    if (::geteuid() != 0) QSKIP("mounting a tmpfs needs root");
    if (!FuseView::Possible()) QSKIP("this machine has no /dev/fuse");
    TempFolder server, scratch;
    server.database("a.mdb");
    server.database("b.mdb");
    const QByteArray stale = JetRecord("WS-GONE", "Admin");
    server.write("a.ldb", stale);
    for (int attempt = 0; attempt < 10; ++attempt) {
      QCOMPARE(::mount("quillet-test", scratch.path.c_str(), "tmpfs", 0, "size=1m"), 0);
      const std::string local = scratch.database("t.mdb");
      const dev_t device = DeviceOf(local);
      // Classed by the engine, and by a scan on this thread, while it is mounted.
      const int reach = int(LocksOfPath(local).reach);
      const DatabaseScan scanned = Scanned(local);
      QCOMPARE(::umount2(scratch.path.c_str(), 0), 0);
      QCOMPARE(reach, int(LockReach::kLocal));
      QCOMPARE(int(scanned.state), int(DatabaseScan::State::kClosed));

      FuseView view(server.path);
      QVERIFY(view.mounted());
      if (DeviceOf(view.mountPoint()) != device) continue;  // something else took it: again
      QCOMPARE(int(LocksOfPath(view.file("b.mdb")).reach), int(LockReach::kThisComputerOnly));
      const DatabaseScan throughView = Scanned(view.file("b.mdb"));
      QCOMPARE(int(throughView.state), int(DatabaseScan::State::kUnknown));
      QCOMPARE(int(throughView.mount.reach), int(LockReach::kThisComputerOnly));
      QCOMPARE(Failure(Kill(view.file("a.ldb"))).substr(0, 2), "70");
      std::unique_ptr<JetSession> session;
      QCOMPARE(Failure(JetSession::Open(view.file("b.mdb"), {}, &session)), kOk);
      QVERIFY(!Exists(server.file("b.ldb")));
      session.reset();
      QCOMPARE(ReadBytes(server.file("a.ldb")), stale);
      return;
    }
    QSKIP("the FUSE mount never got the device number the tmpfs had");
  }

  // Connections through the same mount still see each other: the first opener's mode holds.
  void connectionsThroughOneMountAgree() {
    if (!FuseView::Possible()) QSKIP("this machine has no /dev/fuse");
    TempFolder server;
    server.database("a.mdb");
    FuseView view(server.path);
    QVERIFY(view.mounted());
    std::unique_ptr<JetSession> first, second, third;
    QCOMPARE(Failure(JetSession::Open(view.file("a.mdb"), {LockingMode::kRecord}, &first)), kOk);
    QCOMPARE(Failure(JetSession::Open(view.file("a.mdb"), {LockingMode::kPage}, &second)), kOk);
    QCOMPARE(int(second->Level()), int(LockingMode::kRecord));
    first.reset();
    second.reset();
    QCOMPARE(Failure(JetSession::Open(view.file("a.mdb"), {LockingMode::kPage}, &third)), kOk);
    QCOMPARE(int(third->Level()), int(LockingMode::kPage));
    QVERIFY(!Exists(server.file("a.ldb")));
  }
};

QTEST_GUILESS_MAIN(LockReachTest)
#include "LockReachTest.moc"
