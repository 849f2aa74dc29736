// Samba's clients with a file open and no lock taken: a stand-in smbstatus prints a real
// recording whose file ids are made the temporary files'.

#include "platform/engine/JetErrors.h"
#include "platform/engine/Kill.h"
#include "platform/engine/LockFileUsers.h"
#include "platform/engine/OtherOpeners.h"
#include "platform/samba/SambaOpeners.h"
#include "support/EngineTestUtil.h"
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

// A stand-in smbstatus in `folder` that prints `json`.
std::string StandIn(const QTemporaryDir& folder, const QByteArray& json) {
  QFile table(folder.filePath("table.json"));
  if (!table.open(QIODevice::WriteOnly) || table.write(json) != json.size())
    qFatal("cannot write the stand-in's table");
  return test::StandIn(folder, "smbstatus", "exec cat \"$(dirname \"$0\")/table.json\"");
}

// The engine asks a fresh reader of that stand-in.
void AskStandIn(const std::string& program) {
  SetOtherOpenersSource(AskingSamba(std::make_shared<SambaStatusReader>(StandInOptions(program))));
}

}  // namespace

class SambaOpenersTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { SetOtherOpenersSource({}); }

  // A client that shares nothing shuts everyone out; one that shares still hides the mode;
  // either keeps the lock file from being deleted. Once it has closed, all is as before.
  void anOpenOnlySambaKnowsCountsAsAnotherEngine_data() {
    Rows<bool>("exclusive", {{"share mode none", true}, {"shared", false}});
  }
  void anOpenOnlySambaKnowsCountsAsAnotherEngine() {
    QFETCH(bool, exclusive);
    TempFolder folder;
    QTemporaryDir scripts;
    const std::string path = folder.database("a.mdb");
    const std::string lockFile = folder.write("a.ldb", JetRecord("WS-01", "Admin"));
    AskStandIn(StandIn(scripts, exclusive ? TableFor(path, {}) : TableFor({}, path)));

    DatabasePtr shared, sole;
    const Status joined = OpenDao(path, &shared);
    QCOMPARE(Failure(joined), exclusive ? Failure(JetError(kJetErrFileInUse, path)) : kOk);
    QCOMPARE(Failure(OpenDao(path, &sole, true)), Failure(JetError(kJetErrFileInUse, path)));
    Connection probe;
    if (!exclusive) {
      QCOMPARE(Failure(OpenAdo(probe, path, 1)), kOk);
      QCOMPARE(ModeOf(probe), -100);
      probe.Close();
      shared->Close();  // the last of ours, yet Samba's client is still in
    }
    QCOMPARE(Failure(Kill(lockFile)).substr(0, 2), "70");
    std::string lockPath;
    std::vector<LockFileUser> users;
    QCOMPARE(Failure(ReadLockFileUsers(path, &lockPath, &users)), kOk);
    QCOMPARE(users.size(), size_t(2));
    QCOMPARE(users[1].slot, -1);
    QCOMPARE(QString::fromStdString(users[1].computer + "/" + users[1].account),
             "127.0.0.1/nobody");
    QCOMPARE(users[1].exclusive, exclusive);
    QVERIFY(Exists(lockFile));

    AskStandIn(StandIn(scripts, Recording("empty.json")));  // the client has closed
    QCOMPARE(Failure(OpenAdo(probe, path, 1)), kOk);
    QCOMPARE(ModeOf(probe), 1);
    probe.Close();
    QVERIFY(!Exists(lockFile));  // the last leaver deleted the stale one
  }

  // quilletctl asks Samba where an smbd runs and it may: a client's open shows in users,
  // check --json says Samba was read, and scan calls the database in use by that client.
  void quilletctlNamesSambasClients() {
    if (::geteuid() != 0) QSKIP("Samba's table is read as root only");
    TempFolder folder;
    QTemporaryDir scripts;
    const std::string path = folder.database("a.mdb");
    StandIn(scripts, TableFor(path, {}));
    ProcessNamed smbd(scripts, "smbd");  // as the reader looks for one
    const std::string searchPath =
        scripts.path().toStdString() + ":" + qgetenv("PATH").toStdString();
    const auto onPath = [searchPath] { ::setenv("PATH", searchPath.c_str(), 1); };

    OtherProcess users({"users", path}, uid_t(-1), onPath);
    QCOMPARE(users.output(), "-\t127.0.0.1\tnobody\topen through Samba\n");
    OtherProcess json({"users", "--json", path}, uid_t(-1), onPath);
    const QJsonObject listed = JsonOf(json.output());
    QCOMPARE(listed["samba"].toString(), "read");
    QCOMPARE(listed["sambaOpens"].toArray().size(), 1);
    const QJsonObject open = listed["sambaOpens"].toArray()[0].toObject();
    QCOMPARE(open["shareMode"].toString(), "exclusive");
    QVERIFY(open["address"].toString().startsWith("ipv4:127.0.0.1:"));
    OtherProcess check({"check", "--json", path}, uid_t(-1), onPath);
    QCOMPARE(check.stop(0), 1);  // refused: the client shares nothing
    QVERIFY(check.errors().starts_with("quilletctl: error 3045:"));
    OtherProcess scan({"scan", "--json", folder.path}, uid_t(-1), onPath);
    const QJsonObject scanned = JsonOf(scan.output());
    QCOMPARE(scan.stop(0), 5);  // someone is in
    QCOMPARE(scanned["state"].toString(), "other engine");
    QCOMPARE(scanned["reason"].toString(), "open through Samba by 127.0.0.1 (nobody, exclusive)");
    QCOMPARE(scanned["sambaOpens"].toArray().size(), 1);
  }
};

QTEST_GUILESS_MAIN(SambaOpenersTest)
#include "SambaOpenersTest.moc"
