// quilletctl doctor against a real Samba on loopback: shares that differ only in the settings
// it judges, and a real SMB3 client (impacket) that asks each for what a Windows Jet engine
// asks. Every finding is held to what Samba really does, both ways: where doctor says oplocks
// may be granted the client gets one, and where it says nothing the client gets none; where
// it says locks are hidden from Linux, the client's lock is not among Linux's. Beside a client
// holding a Jet session on such shares, what check, users, hold, scan and the window claim.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QScopeGuard>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "common/Registry.h"
#include "platform/engine/LockFile.h"
#include "platform/registry/RegistryStore.h"
#include "support/DataRows.h"
#include "support/EngineTestUtil.h"
#include "support/PrivateSamba.h"

using namespace quillet;
using namespace quillet::test;

namespace {

using Ids = std::set<QString>;

constexpr off_t kUserLock = 0x10000001;  // slot 0's user lock in a lock file

const std::vector<PrivateShare> kShares = {
    {"defaults", {}},
    {"oplocks-off", {"oplocks = no"}},
    {"vetoed", {"veto oplock files = /*.mdb/*.mde/*.ldb/"}},
    {"vetoed-upper", {"veto oplock files = /*.MDB/*.MDE/*.LDB/"}},
    {"case-sensitive", {"case sensitive = yes", "veto oplock files = /*.mdb/*.mde/*.ldb/"}},
    {"level2-off", {"level2 oplocks = no"}},
    {"kernel", {"kernel oplocks = yes"}},
    {"fake", {"fake oplocks = yes", "oplocks = no"}},
    {"locking-off", {"locking = no"}},
    {"posix-off", {"posix locking = no"}},
};
// Each share holds these databases, and their lock files.
const QStringList kDatabases = {"a.mdb", "A.MDB", "b.mde"};

// The finding ids doctor gives each share serving the paths, and how it exits.
struct Diagnosis {
  std::map<QString, Ids> ids;
  int exitCode = -1;
};

Diagnosis Diagnose(const std::vector<std::string>& paths, uid_t uid = uid_t(-1)) {
  std::vector<std::string> args = {"doctor", "--json"};
  args.insert(args.end(), paths.begin(), paths.end());
  OtherProcess doctor(args, uid);
  const QJsonObject json = JsonOf(doctor.output());
  Diagnosis diagnosis{{}, doctor.stop()};
  for (const QJsonValue share : json["shares"].toArray()) {
    Ids& ids = diagnosis.ids[share["name"].toString()];
    for (const QJsonValue finding : share["findings"].toArray())
      ids.insert(finding["id"].toString());
  }
  return diagnosis;
}

// "share/file" -> whether the client got any oplock or lease it asked for on the file.
std::map<QString, bool> Grants(const PrivateSamba& samba) {
  QStringList items;
  for (const PrivateShare& share : kShares) {
    for (const QString& database : kDatabases) {
      items << share.name + "/" + database
            << share.name + "/" + QString::fromStdString(LockFilePath(database.toStdString()));
    }
  }
  std::map<QString, bool> granted;
  for (const QByteArray& line : samba.client("smb_grants.py", items, 120000).split('\n')) {
    const QList<QByteArray> words = line.split(' ');
    if (words.size() == 3) granted[words[0]] = granted[words[0]] || words[2] != "none";
  }
  return granted;
}

// Whether a Linux process sees a lock on the byte, as Quillet would look for it.
bool LinuxSeesLock(const std::string& path, off_t at) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  const bool seen = fd >= 0 && ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  if (fd >= 0) ::close(fd);
  return seen;
}

// The window program, copied where any user may run it (a checkout under /root is not).
QString RunnableWindow() {
  static QTemporaryDir folder;
  static const QString path = [] {
    const QString target = folder.filePath("quillet");
    using P = QFileDevice;
    const P::Permissions everyone = P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup |
                                    P::ExeGroup | P::ReadOther | P::ExeOther;
    return QFile::setPermissions(folder.path(), everyone) &&
                   QFile::copy(qEnvironmentVariable("QUILLET"), target) &&
                   QFile::setPermissions(target, everyone)
               ? target
               : QString();
  }();
  return path;
}

// Starts the window program as `uid`, remembering `database` from a last run, as a user
// would; returns once it has looked at the lock file beside it (the window, finding it in
// use, then shows its warning, which nobody answers), and stops it. False if it never looked, or
// its home could not be handed to `uid`.
bool OpenInWindow(const std::string& database, uid_t uid) {
  TempFolder home;
  RegistryStore::SetPath(home.file("config/Oxtaro/Quillet/registry.sqlite3"));
  SaveRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Oxtaro\\Utils\\Quillet", "DBFilename",
                     QString::fromStdString(database), {});
  RegistryStore::SetPath(RegistryStore::DefaultPath());
  bool handedOver = ::chown(home.path.c_str(), uid, uid) == 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path))
    handedOver = handedOver && ::chown(entry.path().c_str(), uid, uid) == 0;
  if (!handedOver) return false;

  const int opens = ::inotify_init1(IN_CLOEXEC);
  const auto closeOpens = qScopeGuard([opens] { ::close(opens); });
  ::inotify_add_watch(opens, LockFilePath(database).c_str(), IN_OPEN);
  QProcess quillet;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString(home.file("config")));
  environment.insert("HOME", QString::fromStdString(home.path));
  quillet.setProcessEnvironment(environment);
  quillet.setWorkingDirectory(QString::fromStdString(home.path));
  quillet.setChildProcessModifier([uid] {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
      ::_exit(126);
  });
  quillet.start(RunnableWindow(), {});
  pollfd opened{opens, POLLIN, 0};
  const bool looked = quillet.waitForStarted() && ::poll(&opened, 1, 10000) == 1;
  ::kill(pid_t(quillet.processId()), SIGTERM);  // handled once the window waits for the user
  if (!quillet.waitForFinished(10000)) quillet.kill(), quillet.waitForFinished();
  return looked && quillet.exitStatus() == QProcess::NormalExit && quillet.exitCode() == 0;
}

// The client's next answer ("ready" first), once a whole line of it has come.
QByteArray Answer(QProcess& client) {
  while (!client.canReadLine() && client.waitForReadyRead(20000)) {
  }
  return client.readLine().trimmed();
}

// The share's folder "held", made afresh with the database s.mdb, both writable by anyone; ""
// where it could not be made.
std::string HeldFolder(const PrivateSamba& samba, const QString& share) {
  const std::string folder = samba.folder(share) + "/held";
  std::filesystem::remove_all(folder);
  QFile database(QString::fromStdString(folder + "/s.mdb"));
  const bool made =
      std::filesystem::create_directory(folder) && ::chmod(folder.c_str(), 0777) == 0 &&
      database.open(QIODevice::WriteOnly) && database.write(JetDatabaseBytes()) > 0 &&
      database.setPermissions(database.permissions() | QFile::ReadOther | QFile::WriteOther);
  return made ? folder : std::string();
}

// What check, users, scan and an exclusive hold, run as `uid`, say of the database a client
// holds a session in on `share`, whose locks are `locks` (as check --json names them).
void LookFromAfar(const std::string& database, const QString& share, uid_t uid,
                  const QString& locks) {
  const bool hidden = locks == "hidden by Samba";
  const QJsonObject checked = JsonOf(OtherProcess({"check", "--json", database}, uid).output());
  QCOMPARE(checked["mode"], QJsonValue());
  QCOMPARE(checked["locks"].toString(), locks);
  QCOMPARE(checked["samba"].toString() == "read", uid == uid_t(-1));
  QCOMPARE(checked["sambaConfiguration"].toString(), "read");
  const QJsonArray shares = checked["sambaShares"].toArray();
  QCOMPARE(shares.size(), 1);
  QCOMPARE(shares[0]["name"].toString(), share);
  QCOMPARE(shares[0]["serves"].toString(), "yes");
  const QJsonArray ids = shares[0]["findings"].toArray();
  QCOMPARE(ids.contains("locking-off") || ids.contains("posix-locking-off"), share != "defaults");

  const QString state = hidden ? "unknown" : "live elsewhere";
  const QJsonObject listed = JsonOf(OtherProcess({"users", "--json", database}, uid).output());
  QCOMPARE(listed["users"][0]["state"].toString(), state);
  QCOMPARE(listed["locks"].toString(), locks);
  // As root Samba's table also shows the client's open: someone is in, for certain.
  const bool unknown = hidden && uid != uid_t(-1);
  const std::string folder = database.substr(0, database.find_last_of('/'));
  OtherProcess scan({"scan", "--json", folder}, uid);
  const QJsonObject scanned = JsonOf(scan.output());
  QCOMPARE(scan.stop(), 5);
  QCOMPARE(scanned["state"].toString(), unknown ? "unknown" : "other engine");
  QCOMPARE(scanned["users"][0]["state"].toString(), state);
  QCOMPARE(scanned["reason"].toString().contains("share '" + share + "'"), unknown);
  QCOMPARE(scanned["sambaShares"], QJsonValue(shares));
  OtherProcess exclusive({"hold", database, "--exclusive"}, uid);
  QCOMPARE(exclusive.stop(0), 1);
  QVERIFY2(exclusive.errors().starts_with(hidden ? "quilletctl: error 3050:"
                                                 : "quilletctl: error 3045:"),
           exclusive.errors().c_str());
}

}  // namespace

class DoctorSambaTest : public QObject {
  Q_OBJECT

  std::optional<PrivateSamba> samba_;

 private slots:
  void initTestCase() {
    if (const QString why = PrivateSamba::Unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    samba_.emplace(kShares);
    QVERIFY2(samba_->running(), qPrintable(samba_->log()));
    for (const PrivateShare& share : kShares) {
      for (const QString& database : kDatabases) {
        for (const std::string& name :
             {database.toStdString(), LockFilePath(database.toStdString())}) {
          const std::string path = samba_->folder(share.name) + "/" + name;
          QFile file(QString::fromStdString(path));
          QVERIFY(file.open(QIODevice::WriteOnly) && file.write(JetDatabaseBytes()) > 0);
          QVERIFY(file.setPermissions(file.permissions() | QFile::WriteOther | QFile::ReadOther));
        }
      }
    }
    // doctor reads the configuration Samba itself would: this server's, through the variable.
    qputenv("SMB_CONF_PATH", samba_->configFile().toLocal8Bit());
  }
  void cleanupTestCase() { qunsetenv("SMB_CONF_PATH"); }

  // Every database of every share: doctor's findings, and what Samba grants a client that
  // asks for a batch oplock and for a lease on the database and on its lock file.
  void findingsMatchWhatSambaGrants() {
    const std::map<QString, bool> granted = Grants(*samba_);
    QCOMPARE(granted.size(), kShares.size() * kDatabases.size() * 2);
    const std::map<QString, Ids> settingsFindings = {{"locking-off", {"locking-off"}},
                                                     {"posix-off", {"posix-locking-off"}}};
    for (const QString& database : kDatabases) {
      const QString lockFile = QString::fromStdString(LockFilePath(database.toStdString()));
      std::vector<std::string> paths;
      for (const PrivateShare& share : kShares)
        paths.push_back(samba_->folder(share.name) + "/" + database.toStdString());
      const Diagnosis diagnosis = Diagnose(paths);
      bool anyFinding = false;
      for (const PrivateShare& share : kShares) {
        Ids ids = diagnosis.ids.at(share.name);
        anyFinding = anyFinding || !ids.empty();
        const bool cached =
            granted.at(share.name + "/" + database) || granted.at(share.name + "/" + lockFile);
        const bool said = ids.erase("oplocks") + ids.erase("fake-oplocks") > 0;
        QVERIFY2(said == cached, qPrintable(share.name + "/" + database +
                                            (cached ? ": granted, doctor silent"
                                                    : ": none granted, doctor warns")));
        const auto expected = settingsFindings.find(share.name);
        QCOMPARE(ids, expected == settingsFindings.end() ? Ids{} : expected->second);
      }
      QCOMPARE(diagnosis.exitCode, anyFinding ? 6 : 0);
    }
    // The rows above must not pass by all granting, or none.
    QVERIFY(granted.at("defaults/a.mdb") && !granted.at("oplocks-off/a.mdb"));
    QVERIFY(!granted.at("case-sensitive/a.mdb") && granted.at("case-sensitive/A.MDB"));
    QVERIFY(!granted.at("vetoed-upper/a.mdb") && granted.at("fake/a.mdb"));
  }

  // A client holding slot 0's user lock, as a Windows Jet engine in a database holds it:
  // doctor's hiding findings against what Linux sees of it, and against a second client that
  // takes the same lock.
  void hidingFindingsMatchWhatLinuxSees_data() {
    Columns<QString, bool, bool>("share", "seen", "secondClientRefused");
    QTest::newRow("defaults") << "defaults" << true << true;
    QTest::newRow("posix locking = no") << "posix-off" << false << true;
    QTest::newRow("locking = no") << "locking-off" << false << false;
  }
  void hidingFindingsMatchWhatLinuxSees() {
    const auto [share, seen, secondRefused] =
        Fetch<QString, bool, bool>("share", "seen", "secondClientRefused");
    const QStringList args = {share, "a.ldb", "0", "WS-A", "anna"};
    const std::unique_ptr<QProcess> first = samba_->startClient("jet_peer_smb.py", args);
    QVERIFY(first->waitForReadyRead(20000));
    QCOMPARE(first->readLine().trimmed(), QByteArray("ready"));
    const std::string lockFile = samba_->folder(share) + "/a.ldb";
    QCOMPARE(LinuxSeesLock(lockFile, kUserLock), seen);
    const QByteArray second =
        samba_->client("jet_peer_smb.py", {share, "a.ldb", "0", "WS-B", "bert"});
    QCOMPARE(!second.startsWith("ready"), secondRefused);
    first->closeWriteChannel();
    QVERIFY(first->waitForFinished(20000));

    const Ids ids = Diagnose({samba_->folder(share) + "/a.mdb"}).ids.at(share);
    QCOMPARE(ids.count("locking-off") + ids.count("posix-locking-off") > 0, !seen);
    QCOMPARE(ids.count("locking-off") > 0, !secondRefused);
  }

  // A client holds a Jet session on each share: its record in slot 0 of s.ldb and its user
  // lock. Where Samba keeps that lock from Linux and its table cannot be read (an ordinary
  // user; or Samba keeps no lock, locking = no) nothing is claimed: the lock file stays byte
  // for byte as the client left it, whatever check, users, scan, hold and the window do.
  // Where the table is read (root, posix locking = no), the client is seen as on a share
  // with Samba's defaults: its record live, its slot never claimed or written.
  void sessionsOnSharesThatHideLocks_data() {
    Columns<QString, uid_t, QString>("share", "uid", "locks");
    for (const uid_t uid : {OtherProcess::kNobody, uid_t(-1)}) {
      const char* who = uid == OtherProcess::kNobody ? "ordinary user" : "root";
      QTest::addRow("defaults, %s", who) << "defaults" << uid << "local";
      QTest::addRow("posix locking = no, %s", who)
          << "posix-off" << uid
          << (uid == OtherProcess::kNobody ? "hidden by Samba" : "in Samba's table");
      QTest::addRow("locking = no, %s", who) << "locking-off" << uid << "hidden by Samba";
    }
  }
  void sessionsOnSharesThatHideLocks() {
    const auto [share, uid, locks] = Fetch<QString, uid_t, QString>("share", "uid", "locks");
    const bool hidden = locks == "hidden by Samba";
    const std::string folder = HeldFolder(*samba_, share);
    QVERIFY(!folder.empty());
    const std::string database = folder + "/s.mdb", lockFile = folder + "/s.ldb";
    const std::unique_ptr<QProcess> client =
        samba_->startClient("jet_peer_smb.py", {share, "held/s.ldb", "0", "WS-A", "anna"});
    QCOMPARE(Answer(*client), QByteArray("ready"));
    const QByteArray theirs = JetRecord("WS-A", "anna");
    QCOMPARE(ReadBytes(lockFile), theirs);

    LookFromAfar(database, share, uid, locks);
    if (QTest::currentTestFailed()) return;
    QVERIFY(OpenInWindow(database, uid == uid_t(-1) ? 0 : uid));
    QCOMPARE(ReadBytes(lockFile).left(64), theirs);
    if (hidden) QCOMPARE(ReadBytes(lockFile), theirs);

    // The client blanks its record, as a client between its lock and its write has none yet.
    const QByteArray blank(64, '\0');
    client->write("write 0 " + blank.toHex() + "\n");
    QCOMPARE(Answer(*client), QByteArray("ok"));
    OtherProcess hold({"hold", database}, uid);
    QCOMPARE(hold.line(), "holding " + database + " in an undetermined mode");
    QCOMPARE(ReadBytes(lockFile).left(64), blank);
    QCOMPARE(ReadBytes(lockFile).mid(64, 64).startsWith(Host()), !hidden);
    QCOMPARE(hold.stop(), 0);
    QCOMPARE(ReadBytes(lockFile).left(64), blank);
    if (hidden) QCOMPARE(ReadBytes(lockFile), blank);
    client->closeWriteChannel();
    QVERIFY(client->waitForFinished(20000));
  }

  // Samba's configuration read as an ordinary user wherever it may read the file; every
  // share listed without a path.
  void readsAsAnOrdinaryUser() {
    const std::string database = samba_->folder("posix-off") + "/a.mdb";
    QCOMPARE(Diagnose({database}, OtherProcess::kNobody).ids, Diagnose({database}).ids);

    OtherProcess all({"doctor", "--json"}, OtherProcess::kNobody);
    const QJsonObject json = JsonOf(all.output());
    QCOMPARE(all.stop(), 6);
    QCOMPARE(json["configuration"].toString(), samba_->configFile());
    QStringList names;
    for (const QJsonValue share : json["shares"].toArray()) names << share["name"].toString();
    QCOMPARE(names.size(), qsizetype(kShares.size()));

    QFile conf(samba_->configFile());
    QVERIFY(conf.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    OtherProcess refused({"doctor", database}, OtherProcess::kNobody);
    QCOMPARE(refused.errors(), "quilletctl: doctor: Samba's configuration not read: " +
                                   samba_->configFile().toStdString() +
                                   " cannot be read: Permission denied\n");
    QCOMPARE(refused.stop(), 1);
    QVERIFY(conf.setPermissions(conf.permissions() | QFile::ReadOther | QFile::ReadGroup));
  }
};

QTEST_GUILESS_MAIN(DoctorSambaTest)
#include "DoctorSambaTest.moc"
