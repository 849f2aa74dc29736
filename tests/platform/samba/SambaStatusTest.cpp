// The reader of Samba's status, stand-in scripts in smbstatus's place, processes by name.

#include <unistd.h>

#include <QElapsedTimer>
#include <cerrno>
#include <csignal>

#include "support/DataRows.h"
#include "support/Fixtures.h"
#include "support/SambaStandIn.h"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 500ms;
const QByteArray kRecording = SMBSTATUS_RECORDINGS "/open-twice.json";
constexpr dev_t kDevice = 65024;
constexpr ino_t kDatabase = 10952707;

SambaStatusOptions Limited(const std::string& program) {  // within kLimit
  SambaStatusOptions options = StandInOptions(program);
  options.limit = kLimit;
  return options;
}

// The PID the stand-in left, or 0 if it never ran.
pid_t RanAs(const std::string& program) {
  QFile file(QString::fromStdString(program) + ".pid");
  return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

}  // namespace

class SambaStatusTest : public QObject {
  Q_OBJECT

 private slots:
  void notReadWithinTheLimit_data() {
    // script: empty: no program there at all
    Columns<QByteArray, bool, QString>("script", "smbdRuns", "reason");
    QTest::newRow("no smbd: smbstatus is not run")
        << "cat " + kRecording << false << "no smbd running on this machine";
    QTest::newRow("no smbstatus") << QByteArray() << true
                                  << "could not be started: No such file or directory";
    QTest::newRow("hangs") << QByteArray("exec sleep 30") << true
                           << "smbstatus did not answer within 500 ms";
    QTest::newRow("closes its outputs, then hangs")
        << QByteArray("exec >&- 2>&-\nexec sleep 30") << true
        << "smbstatus did not answer within 500 ms";
    QTest::newRow("prints garbage") << QByteArray("echo 'Segmentation fault'") << true
                                    << "smbstatus printed what is not understood: not JSON";
    QTest::newRow("too old for --json")
        << QByteArray(
               "printf '\\nInvalid option --json: unknown option\\n\\n' >&2\n"
               "echo 'Usage: [OPTION...]' >&2\nexit 1")
        << true << "smbstatus does not know --json (Samba 4.17 or later is needed)";
    QTest::newRow("reads another configuration than smbd's: its complaint is told")
        << QByteArray("cat " SMBSTATUS_RECORDINGS
                      "/other-smb-conf.json\n"
                      "echo '/tmp/rec20/other/lock/locking.tdb not initialised' >&2")
        << true << "objects (/tmp/rec20/other/lock/locking.tdb not initialised)";
    QTest::newRow("refuses a user that is not root")
        << QByteArray("cat " SMBSTATUS_RECORDINGS
                      "/not-root.json\n"
                      "echo 'smbstatus only works as root!' >&2\nexit 1")
        << true << "smbstatus failed (exit status 1): smbstatus only works as root!";
    QTest::newRow("killed") << QByteArray("kill -KILL $$") << true
                            << "smbstatus was ended by signal 9";
  }
  void notReadWithinTheLimit() {
    const auto [script, smbdRuns, reason] =
        Fetch<QByteArray, bool, QString>("script", "smbdRuns", "reason");
    QTemporaryDir folder;
    const std::string program = script.isEmpty() ? folder.filePath("smbstatus").toStdString()
                                                 : StandIn(folder, "smbstatus", script);
    SambaStatusOptions options = Limited(program);
    options.smbdRuns = [smbdRuns] { return smbdRuns; };

    QElapsedTimer timer;
    timer.start();
    const SambaTable table = ReadSambaStatus(options);
    QVERIFY(timer.elapsed() < (kLimit + 500ms).count());
    QVERIFY(!table.read);
    QVERIFY2(QString::fromStdString(table.reason).contains(reason), table.reason.c_str());
    const pid_t pid = RanAs(program);
    QCOMPARE(pid != 0, smbdRuns && !script.isEmpty());
    // Killed where it had to be, and reaped: not even a zombie is left.
    if (pid != 0) QCOMPARE(::kill(pid, 0) == 0 ? 0 : errno, ESRCH);
  }

  // Stopped at 64 MiB, not read on until the time limit (reading that much takes about a
  // second here; the limit is generous so that a busy machine still meets the cap first).
  void stopsAFlood() {
    QTemporaryDir folder;
    SambaStatusOptions options = Limited(StandIn(folder, "smbstatus", "exec yes"));
    options.limit = 30s;
    const SambaTable table = ReadSambaStatus(options);
    QCOMPARE(table.reason, "smbstatus printed more than 64 MiB");
    QCOMPARE(::kill(RanAs(options.program), 0) == 0 ? 0 : errno, ESRCH);
  }

  // smbstatus -B --json and nothing more: Samba's choice of configuration stays Samba's.
  void readsWhatSmbstatusPrints() {
    QTemporaryDir folder;
    const std::string program = StandIn(
        folder, "smbstatus",
        "[ \"$*\" = \"-B --json\" ] && [ \"$SMB_CONF_PATH\" = /srv/test/smb.conf ] || exit 3\n"
        "cat " +
            kRecording);
    const QByteArray conf = qgetenv("SMB_CONF_PATH");
    qputenv("SMB_CONF_PATH", "/srv/test/smb.conf");
    const SambaTable table = ReadSambaStatus(Limited(program));
    conf.isNull() ? qunsetenv("SMB_CONF_PATH") : qputenv("SMB_CONF_PATH", conf);
    QVERIFY2(table.read, table.reason.c_str());
    QCOMPARE(OpensOf(table, kDevice, kDatabase).size(), 2u);
  }

  void notRootIsNotRead() {
    QTemporaryDir folder;
    SambaStatusOptions options = Limited(StandIn(folder, "smbstatus", "cat " + kRecording));
    options.rootOnly = true;
    const uid_t user = ::geteuid();
    if (user == 0) QVERIFY(::seteuid(65534) == 0);  // nobody
    const SambaTable table = ReadSambaStatus(options);
    if (user == 0) QVERIFY(::seteuid(0) == 0);
    QVERIFY(!table.read);
    QCOMPARE(table.reason, "not root (smbstatus reads Samba's status only as root)");
    QCOMPARE(RanAs(options.program), 0);
  }

  void remembersItsAnswerForASecond() {
    QTemporaryDir folder;
    const std::string program =
        StandIn(folder, "smbstatus", "echo run >> \"$0.runs\"\ncat " + kRecording);
    SambaStatusOptions options = Limited(program);
    auto now = std::chrono::steady_clock::now();
    options.now = [&now] { return now; };
    SambaStatusReader reader(options);
    const auto runCount = [&program] {
      QFile runs(QString::fromStdString(program) + ".runs");
      return runs.open(QIODevice::ReadOnly) ? runs.readAll().count('\n') : 0;
    };
    QVERIFY(reader.read().read);
    QCOMPARE(OpensOf(reader.read(), kDevice, kDatabase).size(), 2u);
    now += 999ms;
    QVERIFY(reader.read().read);
    QCOMPARE(runCount(), 1);
    now += 1ms;
    QVERIFY(reader.read().read);
    QCOMPARE(runCount(), 2);
  }

  // A process counts when it runs as root from one of the programs named, whatever its name
  // says; still after its program was replaced under it, as by an upgrade.
  void findsRootsProcessByItsProgram_data() {
    Columns<bool, bool, bool, bool>("asRoot", "named", "replaced", "counts");
    QTest::newRow("root, from the program named") << true << true << false << true;
    QTest::newRow("root, its program replaced since") << true << true << true << true;
    QTest::newRow("root, from another program of the name") << true << false << false << false;
    QTest::newRow("another user, from the program named") << false << true << false << false;
  }
  void findsRootsProcessByItsProgram() {
    const auto [asRoot, named, replaced, counts] =
        Fetch<bool, bool, bool, bool>("asRoot", "named", "replaced", "counts");
    if (::geteuid() != 0) QSKIP("root's processes are told from others' as root");
    QTemporaryDir folder;
    QVERIFY(QFile::setPermissions(
        folder.path(), QFile::permissions(folder.path()) | QFile::ExeOther | QFile::ReadOther));
    const QString name = QStringLiteral("qsmbd-%1").arg(::getpid());  // Linux keeps 15 bytes
    const std::string program = folder.filePath(name).toStdString();
    const std::vector<std::string> programs{named ? program : "/usr/sbin/" + name.toStdString()};
    QVERIFY(!RootProcessRuns(name.toStdString(), programs));
    {
      ProcessNamed process(folder.path(), name, asRoot ? uid_t(-1) : OtherProcess::kNobody);
      if (replaced) {
        QVERIFY(QFile::remove(folder.filePath(name)));
        QVERIFY(QFile::copy("/bin/true", folder.filePath(name)));
      }
      QCOMPARE(RootProcessRuns(name.toStdString(), programs), counts);
      QVERIFY(!RootProcessRuns("qsmbd", programs));  // the whole name, not its start
    }
    QVERIFY(!RootProcessRuns(name.toStdString(), programs));
  }
};

QTEST_GUILESS_MAIN(SambaStatusTest)
#include "SambaStatusTest.moc"
