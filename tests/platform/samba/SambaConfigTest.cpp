// Samba's configuration as Quillet reads it: recorded testparm output (testparm/README.md)
// printed by stand-in programs, the shares that serve a path among real folders and links,
// and the findings each share's settings give.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <cerrno>
#include <csignal>

#include "platform/engine/SambaServing.h"
#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaFindings.h"
#include "platform/samba/SambaServingSource.h"
#include "platform/samba/SambaShares.h"
#include "platform/samba/SambaUsershares.h"
#include "support/DataRows.h"
#include "support/SambaStandIn.h"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

using Names = QStringList;
constexpr auto kLimit = 500ms;
constexpr char kRecordedFolder[] = "/tmp/rectp";

QByteArray Recorded(const QString& name) {
  QFile file(QStringLiteral(TESTPARM_RECORDINGS "/") + name);
  if (!file.open(QIODevice::ReadOnly)) qFatal("no recording %s", qPrintable(name));
  return file.readAll();
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
    qFatal("cannot write %s", qPrintable(path));
}

// Sets a file's times an hour back: one written just now may have changed while testparm
// read it, which the reader answers by reading again.
void Settle(const QString& path) {
  const timespec hourAgo{::time(nullptr) - 3600, 0};
  const timespec times[2] = {hourAgo, hourAgo};
  if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
    qFatal("cannot set the times of %s", qPrintable(path));
}

// A stand-in testparm in `folder` that prints the recording NAME, its folder moved to
// `folder` (where the test copies the files it names), and exits `code`. It insists on the
// options Quillet gives and counts its runs in testparm.runs.
std::string StandInFor(const QTemporaryDir& folder, const QString& name, int code = 0) {
  const auto moved = [&folder](QByteArray text) {
    return text.replace(kRecordedFolder, folder.path().toLocal8Bit());
  };
  for (const QString& kept : {name + ".out", name + ".err", name + ".conf"}) {
    if (QFile::exists(TESTPARM_RECORDINGS "/" + kept))
      Write(folder.filePath(kept), moved(Recorded(kept)));
  }
  return StandIn(folder, "testparm",
                 "[ \"$*\" = '-s -v -d4' ] || exit 3\necho run >> \"$0.runs\"\n"
                 "d=$(dirname \"$0\")\n[ -f \"$d/" +
                     name.toLocal8Bit() + ".out\" ] && cat \"$d/" + name.toLocal8Bit() +
                     ".out\"\ncat \"$d/" + name.toLocal8Bit() + ".err\" >&2\nexit " +
                     QByteArray::number(code));
}

int Runs(const std::string& program) {
  QFile runs(QString::fromStdString(program) + ".runs");
  return runs.open(QIODevice::ReadOnly) ? int(runs.readAll().count('\n')) : 0;
}

SambaConfigOptions Options(const std::string& program) {
  SambaConfigOptions options;
  options.program = program;
  options.limit = kLimit;
  return options;
}

const SambaSection& Share(const SambaConfig& config, const QString& name) {
  for (const SambaSection& share : config.shares) {
    if (share.name == name.toStdString()) return share;
  }
  qFatal("no share %s", qPrintable(name));
}

// testparm's output for [global] as recorded (every default), these values changed, then
// these shares: "name" followed by its "parameter = value" lines.
QByteArray ConfigText(const std::map<QByteArray, QByteArray>& global,
                      const std::vector<QStringList>& shares) {
  QByteArray text = Recorded("debian.out");
  text.truncate(text.indexOf("\n[homes]") + 1);
  for (const auto& [name, value] : global) {
    const qsizetype at = text.indexOf("\n\t" + name + " = ");
    text.replace(at, text.indexOf('\n', at + 1) - at, "\n\t" + name + " = " + value);
  }
  for (const QStringList& share : shares) {
    text += "[" + share[0].toUtf8() + "]\n";
    for (const QString& line : share.mid(1)) text += "\t" + line.toUtf8() + "\n";
  }
  return text;
}

SambaConfig Parsed(const QByteArray& text) {
  SambaConfig config = ParseTestparm(text, "Load smb config files from /etc/samba/smb.conf\n");
  if (!config.read) qFatal("not read: %s", config.reason.c_str());
  AddUsershares(&config);
  ResolveSharePaths(&config);
  return config;
}

Names IdsOf(const std::vector<SambaFinding>& findings) {
  Names ids;
  for (const SambaFinding& finding : findings) ids << QString::fromStdString(finding.id);
  return ids;
}

}  // namespace

class SambaConfigTest : public QObject {
  Q_OBJECT

 private slots:
  // What testparm printed, understood: effective values come from the share, else from the
  // defaults [global] gives; includes per client are told apart.
  void readsRecordedConfigurations() {
    QTemporaryDir folder;
    const SambaConfig debian = ReadSambaConfig(Options(StandInFor(folder, "debian")));
    QVERIFY2(debian.read, debian.reason.c_str());
    QCOMPARE(QString::fromStdString(debian.file), folder.filePath("debian.conf"));
    Names shares;
    for (const SambaSection& share : debian.shares) shares << QString::fromStdString(share.name);
    QCOMPARE(shares, (Names{"homes", "printers", "print$", "jet", "sales", "hidden", "unlocked",
                            "faked", "per-user"}));
    QCOMPARE(debian.value(Share(debian, "jet"), "oplocks"), "Yes");
    QCOMPARE(debian.value(Share(debian, "jet"), "path"), "/srv/jet/");
    QCOMPARE(debian.value(Share(debian, "sales"), "veto oplock files"), "/*.mdb/*.mde/*.ldb/");
    QCOMPARE(debian.flag(Share(debian, "hidden"), "posix locking"), false);
    QCOMPARE(debian.flag(Share(debian, "unlocked"), "locking"), false);
    QCOMPARE(debian.flag(Share(debian, "faked"), "fake oplocks"), true);
    QVERIFY(debian.perClientIncludes.empty() && debian.includes.empty());

    const SambaConfig includes = ReadSambaConfig(Options(StandInFor(folder, "includes")));
    QVERIFY2(includes.read, includes.reason.c_str());
    // common.conf's "oplocks = no" stands in [global], where its include line does.
    QCOMPARE(includes.value(Share(includes, "jet"), "oplocks"), "No");
    const std::string at = folder.path().toStdString();
    QCOMPARE(includes.perClientIncludes,
             (std::vector<std::string>{at + "/%U-extra.conf", at + "/clients/%m.conf"}));
    QVERIFY(std::find(includes.includes.begin(), includes.includes.end(), at + "/common.conf") !=
            includes.includes.end());
  }

  // Wherever the configuration cannot be read, the reason; a testparm that hangs is killed
  // within the limit and reaped.
  void notReadWithTheReason_data() {
    // recording: a stand-in for it; otherwise `script` is the stand-in's body.
    Columns<QString, QByteArray, int, bool, QString>("recording", "script", "code", "asNobody",
                                                     "reason");
    QTest::newRow("a value that is no boolean")
        << "broken" << QByteArray() << 1 << false
        << "testparm could not load %1/broken.conf: set_variable_helper(maybe): value is not "
           "boolean!";
    QTest::newRow("a file this user may not read")
        << "unreadable" << QByteArray() << 1 << true
        << "%1/unreadable.conf cannot be read: Permission denied";
    QTest::newRow("hangs") << "" << QByteArray("exec sleep 30") << 0 << false
                           << "testparm did not answer within 500 ms";
    QTest::newRow("killed") << "" << QByteArray("kill -KILL $$") << 0 << false
                            << "testparm was ended by signal 9";
    QTest::newRow("prints garbage")
        << "" << QByteArray("echo 'Segmentation fault'\necho 'Load smb config files from /x' >&2")
        << 0 << false << "testparm printed what is not understood: line 1: Segmentation fault";
    QTest::newRow("prints no defaults (no -v)")
        << "" << QByteArray("printf '[global]\\n\\tworkgroup = W\\n'") << 0 << false
        << "testparm printed what is not understood: no default for 'oplocks' in [global]";
    QTest::newRow("says not which file it loaded")
        << "" << QByteArray("cat " TESTPARM_RECORDINGS "/debian.out") << 0 << false
        << "testparm printed what is not understood: it did not say which file it loaded";
    QTest::newRow("cannot start") << "" << QByteArray() << 0 << false
                                  << "could not be started: No such file or directory";
  }
  void notReadWithTheReason() {
    const auto [recording, script, code, asNobody, reason] =
        Fetch<QString, QByteArray, int, bool, QString>("recording", "script", "code", "asNobody",
                                                       "reason");
    QTemporaryDir folder;
    // Run as nobody, the stand-in keeps root's group: both may enter and run.
    const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(folder.path(), everyone));
    std::string program = folder.filePath("absent").toStdString();
    if (!recording.isEmpty()) program = StandInFor(folder, recording, code);
    if (!script.isEmpty()) program = StandIn(folder, "testparm", script);
    if (asNobody) {
      Write(folder.filePath("unreadable.conf"), "[global]\n");
      QVERIFY(QFile::setPermissions(folder.filePath("unreadable.conf"), QFile::WriteOwner));
      QVERIFY(QFile::setPermissions(QString::fromStdString(program), everyone));
    }
    const uid_t user = ::geteuid();
    if (asNobody && user == 0) QVERIFY(::seteuid(65534) == 0);
    QElapsedTimer timer;
    timer.start();
    const SambaConfig config = ReadSambaConfig(Options(program));
    if (asNobody && user == 0) QVERIFY(::seteuid(0) == 0);
    QVERIFY(timer.elapsed() < (kLimit + 500ms).count());
    QVERIFY(!config.read);
    const QString expected = reason.contains("%1") ? reason.arg(folder.path()) : reason;
    QVERIFY2(QString::fromStdString(config.reason).contains(expected), config.reason.c_str());
    // Killed where it had to be, and reaped: not even a zombie is left.
    QFile pidFile(QString::fromStdString(program) + ".pid");
    if (pidFile.open(QIODevice::ReadOnly))
      QCOMPARE(::kill(pidFile.readAll().trimmed().toInt(), 0) == 0 ? 0 : errno, ESRCH);
  }

  // The answer is remembered until a file it came from changes, never longer and never
  // shorter; no clock is involved, only the files' stamps.
  void remembersUntilASourceChanges_data() {
    Columns<QString, int>("change", "runs");
    QTest::newRow("nothing") << "" << 1;
    QTest::newRow("an included file grows") << "append include" << 2;
    QTest::newRow("the configuration is replaced") << "replace config" << 2;
    QTest::newRow("an included file goes") << "remove include" << 2;
    QTest::newRow("a missing included file appears") << "create missing" << 2;
    QTest::newRow("testparm is replaced (Samba upgraded)") << "replace program" << 2;
    QTest::newRow("SMB_CONF_PATH is set") << "variable" << 2;
    QTest::newRow("a file changed while testparm read it") << "unsettled" << 2;
  }
  void remembersUntilASourceChanges() {
    const auto [change, runs] = Fetch<QString, int>("change", "runs");
    QTemporaryDir folder;
    const QString conf = folder.filePath("smb.conf"), include = folder.filePath("inc.conf"),
                  missing = folder.filePath("missing.conf");
    Write(conf, "[global]\n");
    Write(include, "[jet]\n");
    Write(folder.filePath("debian.out"), Recorded("debian.out"));
    Write(folder.filePath("debian.err"),
          "Load smb config files from " + conf.toLocal8Bit() +
              "\ndoing parameter include = " + include.toLocal8Bit() +
              "\ndoing parameter include = " + missing.toLocal8Bit() + "\n");
    const std::string program = StandIn(folder, "testparm",
                                        "echo run >> \"$0.runs\"\nd=$(dirname \"$0\")\n"
                                        "cat \"$d/debian.out\"\ncat \"$d/debian.err\" >&2");
    const QStringList sources = {conf, include, missing, QString::fromStdString(program)};
    const auto settle = [&sources] {
      for (const QString& file : sources) {
        if (QFile::exists(file)) Settle(file);
      }
    };
    if (change != "unsettled") settle();  // else written just now, as if during the read
    qunsetenv("SMB_CONF_PATH");

    SambaConfigReader reader(Options(program));
    const std::shared_ptr<const SambaConfig> first = reader.read();
    QVERIFY2(first->read, first->reason.c_str());
    QCOMPARE(reader.read() == first, change != "unsettled");  // the same answer, not run again
    // The file changed, its times then set back as well: a change made just now would make
    // the reader read once more. The other files are left alone.
    QString changed;
    if (change == "append include") Write(changed = include, "[jet]\n\tpath = /srv/jet\n");
    if (change == "replace config") {
      Write(conf + ".new", "[global]\n");
      QVERIFY(::rename(QFile::encodeName(conf + ".new"), QFile::encodeName(changed = conf)) == 0);
    }
    if (change == "remove include") QVERIFY(QFile::remove(include));
    if (change == "create missing") Write(changed = missing, "");
    if (change == "replace program") {
      QVERIFY(QFile::copy(QString::fromStdString(program), conf + ".x"));
      QVERIFY(::rename(QFile::encodeName(conf + ".x"), program.c_str()) == 0);
      changed = QString::fromStdString(program);
    }
    if (change == "variable") qputenv("SMB_CONF_PATH", conf.toLocal8Bit());
    if (!changed.isEmpty()) Settle(changed);
    if (change != "unsettled") {
      reader.read();
      reader.read();
    }
    qunsetenv("SMB_CONF_PATH");
    QCOMPARE(Runs(program), runs);
  }

  // A testparm that gave no answer at all is not run again at every question (each would
  // wait the whole limit), but once a while has passed; the reader is told the time.
  void retriesAnAnswerlessRunAfterAWhile() {
    QTemporaryDir folder;
    const std::string program =
        StandIn(folder, "testparm", "echo run >> \"$0.runs\"\nexec sleep 30");
    Settle(QString::fromStdString(program));
    auto now = std::chrono::steady_clock::now();
    SambaConfigOptions options = Options(program);
    options.limit = 100ms;
    options.now = [&now] { return now; };
    SambaConfigReader reader(options);
    QCOMPARE(reader.read()->reason, "testparm did not answer within 100 ms");
    now += 59s;
    QCOMPARE(reader.read()->reason, "testparm did not answer within 100 ms");
    QCOMPARE(Runs(program), 1);
    now += 2s;
    reader.read();
    QCOMPARE(Runs(program), 2);
  }

  // The shares that serve a path among real folders: both resolved (links, "..", trailing
  // slashes), nested shares each counted, printers' shares never; one whose folder is
  // filled in per user always "maybe", never "not served".
  void sharesServingAPath_data() {
    Columns<QString, Names, Names>("path", "serving", "maybe");
    const Names perUser = {"homes", "per-user"};
    QTest::newRow("a database in a share")
        << "data/a.mdb" << Names{"data", "linked", "dotted"} << perUser;
    QTest::newRow("nested shares")
        << "data/sales/b.mdb" << Names{"data", "sales", "linked", "dotted"} << perUser;
    QTest::newRow("through a link")
        << "link/sales/b.mdb" << Names{"data", "sales", "linked", "dotted"} << perUser;
    QTest::newRow("the share's own folder, trailing slash")
        << "data/" << Names{"data", "linked", "dotted"} << perUser;
    QTest::newRow("a sibling named alike") << "data2/a.mdb" << Names{} << perUser;
    QTest::newRow("not there yet")
        << "data/new/../new2/c.mdb" << Names{"data", "linked", "dotted"} << perUser;
    QTest::newRow("a user's share") << "shared/d.mdb" << Names{"users-own"} << perUser;
  }
  void sharesServingAPath() {
    const auto [path, serving, maybe] = Fetch<QString, Names, Names>("path", "serving", "maybe");
    QTemporaryDir folder;
    for (const char* sub : {"data/sales", "data2", "shared", "usershares"})
      QDir(folder.path()).mkpath(sub);
    QVERIFY(QFile::link(folder.filePath("data"), folder.filePath("link")));
    Write(folder.filePath("usershares/users-own"),
          "#VERSION 2\npath=" + folder.filePath("shared").toUtf8() +
              "\ncomment=\nsharename=users-own\n");
    const QByteArray at = folder.path().toUtf8();
    const SambaConfig config =
        Parsed(ConfigText({{"usershare path", at + "/usershares"}, {"usershare max shares", "100"}},
                          {{"homes", "browseable = No"},
                           {"data", "path = " + at + "/data"},
                           {"sales", "path = " + at + "/data/sales/"},
                           {"linked", "path = " + at + "/link"},
                           {"dotted", "path = " + at + "/data2/../data"},
                           {"printers", "path = " + at + "/data", "printable = Yes"},
                           {"per-user", "path = " + at + "/users/%U"}}));
    Names gotServing, gotMaybe;
    for (const ServingShare& share : SharesServing(config, folder.filePath(path).toStdString()))
      (share.certain ? gotServing : gotMaybe) << QString::fromStdString(share.share->name);
    QCOMPARE(gotServing, serving);
    QCOMPARE(gotMaybe, maybe);
  }

  // The findings of the recorded shares, for a database and for a whole folder, and the
  // lines that fix them.
  void findingsOfEachShare_data() {
    Columns<QString, QString, Names>("share", "path", "ids");
    const Names oplocks = {"oplocks"};
    for (const auto& [share, ids] : std::initializer_list<std::pair<const char*, Names>>{
             {"jet", oplocks},
             {"sales", {}},
             {"hidden", {"oplocks", "posix-locking-off"}},
             {"unlocked", {"locking-off", "oplocks"}},
             {"faked", {"fake-oplocks"}},
             {"homes", oplocks}}) {
      QTest::addRow("%s, a database", share) << share << "/srv/x/Sales.MDB" << ids;
      QTest::addRow("%s, a folder", share) << share << "/srv/x" << ids;
    }
  }
  void findingsOfEachShare() {
    const auto [share, path, ids] = Fetch<QString, QString, Names>("share", "path", "ids");
    QTemporaryDir folder;
    const SambaConfig config = ReadSambaConfig(Options(StandInFor(folder, "debian")));
    const std::vector<SambaFinding> findings =
        FindingsOf(config, Share(config, share), JudgedNames(path.toStdString()));
    QCOMPARE(IdsOf(findings), ids);
    for (const SambaFinding& finding : findings) {
      QCOMPARE(finding.fix.front(), "[" + share.toStdString() + "]");
      QVERIFY(!finding.risk.empty() && !finding.source.empty() && !finding.parameters.empty());
      for (const auto& [name, value] : finding.parameters)
        QCOMPARE(value, config.value(Share(config, share), name));  // the effective values
    }
    if (share == "jet") QCOMPARE(findings[0].fix.back(), "veto oplock files = /*.mdb/*.mde/*.ldb/");
  }

  // Samba's matching of `veto oplock files`, as the real Samba showed it (DoctorSambaTest):
  // in any case unless the share is case sensitive.
  void namesMatchAsSambaMatches_data() {
    Columns<QString, QString, bool, bool>("list", "name", "caseSensitive", "matches");
    using Row = std::tuple<const char*, const char*, const char*, bool, bool>;
    for (const auto& [row, list, name, caseSensitive, matches] : std::initializer_list<Row>{
             {"a pattern", "/*.mdb/*.ldb/", "a.ldb", false, true},
             {"in another case", "/*.MDB/", "sales.mdb", false, true},
             {"in another case, case sensitive", "/*.mdb/", "A.MDB", true, false},
             {"one name", "/Sales.mdb/", "sales.MDB", false, true},
             {"one character", "/?.mdb/", "ab.mdb", false, false},
             {"a star in the middle", "/*s*.m?b/", "Sales.mdb", false, true},
             {"no slashes", "*.mdb", "a.mdb", false, true},
             {"DOS wildcards", "/<.mdb/", "a.mdb", false, false},
             {"an empty list", "", "a.mdb", false, false},
             {"another extension", "/*.mdb/", "a.mdbx", false, false}})
      QTest::newRow(row) << QString(list) << QString(name) << caseSensitive << matches;
  }
  void namesMatchAsSambaMatches() {
    const auto [list, name, caseSensitive, matches] =
        Fetch<QString, QString, bool, bool>("list", "name", "caseSensitive", "matches");
    QCOMPARE(NameListMatches(list.toStdString(), name.toStdString(), caseSensitive), matches);
  }

  // The programs' question, asked on every open, is remembered for a second per path: a
  // changed configuration is seen once the second has passed.
  void theProgramsQuestionIsRememberedForASecond() {
    int asked = 0;
    std::chrono::steady_clock::time_point now;
    const SambaServingSource source = RememberedForASecond(
        [&](const std::string& path) {
          ++asked;
          return SambaServing{true, path + " " + std::to_string(asked), {}, {}};
        },
        [&] { return now; });
    QCOMPARE(source("/a").reason, "/a 1");
    QCOMPARE(source("/a").reason, "/a 1");
    QCOMPARE(source("/b").reason, "/b 2");
    now += 999ms;
    QCOMPARE(source("/a").reason, "/a 1");
    now += 1ms;
    QCOMPARE(source("/a").reason, "/a 3");
  }

  // Users' shares take the template share's settings; a folder of them that cannot be read
  // is told, and the engine's question carries it.
  void usersSharesAndTheEngineQuestion() {
    QTemporaryDir folder;
    QDir(folder.path()).mkpath("usershares");
    QDir(folder.path()).mkpath("data");
    Write(folder.filePath("usershares/mine"),
          "#VERSION 2\npath=" + folder.filePath("data").toUtf8() + "\nsharename=Mine\n");
    const QByteArray at = folder.path().toUtf8();
    Write(folder.filePath("config.out"),
          ConfigText({{"usershare path", at + "/usershares"},
                      {"usershare max shares", "10"},
                      {"usershare template share", "template"}},
                     {{"template", "path = /nowhere", "posix locking = No"},
                      {"per-user", "path = /srv/%U", "locking = No"}}));
    Write(folder.filePath("config.err"), "Load smb config files from " + at + "/smb.conf\n");
    const auto reader = std::make_shared<SambaConfigReader>(
        Options(StandIn(folder, "testparm",
                        "cat \"$(dirname \"$0\")/config.out\"\n"
                        "cat \"$(dirname \"$0\")/config.err\" >&2")));
    SetSambaServingSource(ServingFromConfig(reader));
    const SambaServing serving = SambaServingOf(folder.filePath("data/a.mdb").toStdString());
    SetSambaServingSource({});
    QVERIFY2(serving.read, serving.reason.c_str());
    QCOMPARE(serving.shares.size(), 2u);
    QCOMPARE(serving.shares[0].name, "Mine");
    QCOMPARE(serving.shares[0].hidingSettings, std::vector<std::string>{"posix locking = no"});
    QCOMPARE(serving.shares[1].name, "per-user");
    QVERIFY(!serving.shares[1].certain);
    QCOMPARE(serving.hidingLocks(), &serving.shares[0]);
    const SambaConfig config = *reader->read();
    QCOMPARE(FindingsOf(config, Share(config, "Mine"), JudgedNames("a.mdb"))[1].fix,
             (std::vector<std::string>{"[template]", "posix locking = yes"}));

    QVERIFY(QFile::setPermissions(folder.filePath("usershares"), QFile::WriteOwner));
    const uid_t user = ::geteuid();
    if (user == 0) QVERIFY(::seteuid(65534) == 0);
    SambaConfig unread = ParseTestparm(
        Recorded("debian.out").replace("/var/lib/samba/usershares", at + "/usershares"),
        "Load smb config files from /etc/samba/smb.conf\n");
    AddUsershares(&unread);
    if (user == 0) QVERIFY(::seteuid(0) == 0);
    QCOMPARE(unread.unseen,
             (std::vector<std::string>{"shares users made (net usershare, in " + at.toStdString() +
                                       "/usershares) could not be read: Permission denied"}));
  }
};

QTEST_GUILESS_MAIN(SambaConfigTest)
#include "SambaConfigTest.moc"
