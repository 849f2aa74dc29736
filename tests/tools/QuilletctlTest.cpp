// quilletctl as scripts use it: what it prints, how it exits, and that a hold ends as
// cleanly as it began.

#include <signal.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "support/Fixtures.h"

using namespace quillet::test;

namespace {

struct Run {
  int exitCode = -1;
  QString out;
  QString err;
};

Run Quilletctl(const QStringList& args) {
  QProcess process;
  process.start(QuilletctlPath(), args);
  Run run;
  if (!process.waitForFinished(10000)) {
    process.kill();
    process.waitForFinished();
    return run;
  }
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(process.readAllStandardError());
  return run;
}

const QString kPageText = QStringLiteral("Information: The database is using 'Page Level' locking.\n");
const QString kRecordText = QStringLiteral("Information: The database is using 'Record Level' locking.\n");

}  // namespace

class QuilletctlTest : public QObject {
  Q_OBJECT

 private slots:
  void helpDocumentsCommandsAndExitCodes();
  void usageErrors_data();
  void usageErrors();
  void checkPrintsTheModeInEffect();
  void checkReportsEngineErrors_data();
  void checkReportsEngineErrors();
  void holdAnnouncesAndStopsCleanly_data();
  void holdAnnouncesAndStopsCleanly();
  void holdJoinsTheModeInEffect();
  void holdThatCannotOpenExitsAtOnce();
  void fileNamedLikeAnOption();
};

void QuilletctlTest::helpDocumentsCommandsAndExitCodes() {
  for (const QStringList& args : {QStringList{"--help"}, QStringList{"hold", "--help"}}) {
    const Run run = Quilletctl(args);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains("quilletctl check FILE"));
    QVERIFY(run.out.contains("quilletctl hold FILE"));
    QVERIFY(run.out.contains("Exit status:"));
    for (const char* code : {"  0  ", "  1  ", "  2  ", "  3  "}) QVERIFY(run.out.contains(code));
    QVERIFY(run.err.isEmpty());
  }
}

void QuilletctlTest::usageErrors_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<QString>("message");
  QTest::newRow("nothing") << QStringList{} << QStringLiteral("missing command");
  QTest::newRow("unknown command") << QStringList{"open", "x.mdb"} << QStringLiteral("unknown command 'open'");
  QTest::newRow("check without file") << QStringList{"check"} << QStringLiteral("check: missing FILE");
  QTest::newRow("hold without file") << QStringList{"hold", "--record"} << QStringLiteral("hold: missing FILE");
  QTest::newRow("two files") << QStringList{"check", "a.mdb", "b.mdb"} << QStringLiteral("only one FILE");
  QTest::newRow("unknown option") << QStringList{"hold", "a.mdb", "--fast"}
                                  << QStringLiteral("unknown option '--fast' for hold");
  QTest::newRow("hold option to check") << QStringList{"check", "a.mdb", "--record"}
                                        << QStringLiteral("unknown option '--record' for check");
  QTest::newRow("both modes") << QStringList{"hold", "a.mdb", "--page", "--record"}
                              << QStringLiteral("--page and --record exclude each other");
}

void QuilletctlTest::usageErrors() {
  QFETCH(QStringList, args);
  QFETCH(QString, message);
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  const Run run = Quilletctl(args);
  QCOMPARE(run.exitCode, 2);
  QVERIFY2(run.err.contains(message), qPrintable(run.err));
  QVERIFY(run.err.contains("Try 'quilletctl --help'."));
  QVERIFY(run.out.isEmpty());
  QVERIFY(QDir(dir.path()).isEmpty());  // nothing was opened or created
}

void QuilletctlTest::checkPrintsTheModeInEffect() {
  QTemporaryDir dir;
  const QString path = WriteJetDatabase(dir.path(), "check me.mdb");
  const QString lockFile = QDir(dir.path()).filePath("check me.ldb");

  Run run = Quilletctl({"check", path});
  QCOMPARE(run.exitCode, 0);
  QCOMPARE(run.out, kPageText);
  QVERIFY(run.err.isEmpty());
  QVERIFY(!QFileInfo::exists(lockFile));  // check leaves nothing open behind it

  Holder record(path, {"--record"});
  QVERIFY(record.waitUntilHolding());
  run = Quilletctl({"check", path});
  QCOMPARE(run.exitCode, 0);
  QCOMPARE(run.out, kRecordText);
  QCOMPARE(record.stop(), 0);
}

void QuilletctlTest::checkReportsEngineErrors_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QByteArray>("contents");
  QTest::addColumn<QString>("expected");
  QTest::newRow("missing") << QStringLiteral("absent.mdb") << QByteArray()
                           << QStringLiteral("error 3024: Could not find file '%1'.\n");
  QTest::newRow("ACE") << QStringLiteral("new.accdb") << JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB")
                       << QStringLiteral("error 3343: Unrecognized database format '%1'.\n");
  QTest::newRow("empty") << QStringLiteral("empty.mdb") << QByteArray("")
                         << QStringLiteral("error 3343: Unrecognized database format '%1'.\n");
}

void QuilletctlTest::checkReportsEngineErrors() {
  QFETCH(QString, name);
  QFETCH(QByteArray, contents);
  QFETCH(QString, expected);
  QTemporaryDir dir;
  const QString path = QDir(dir.path()).filePath(name);
  if (name != "absent.mdb") WriteFile(dir.path(), name, contents);
  const Run run = Quilletctl({"check", path});
  QCOMPARE(run.exitCode, 1);
  QCOMPARE(run.err, expected.arg(path));
  QVERIFY(run.out.isEmpty());
}

void QuilletctlTest::holdAnnouncesAndStopsCleanly_data() {
  QTest::addColumn<QStringList>("options");
  QTest::addColumn<QString>("announced");
  QTest::addColumn<bool>("lockFile");
  QTest::addColumn<int>("stopSignal");
  QTest::newRow("default") << QStringList{} << QStringLiteral("in Page Level mode") << true << int(SIGTERM);
  QTest::newRow("page, SIGINT") << QStringList{"--page"} << QStringLiteral("in Page Level mode") << true << int(SIGINT);
  QTest::newRow("record") << QStringList{"--record"} << QStringLiteral("in Record Level mode") << true << int(SIGTERM);
  QTest::newRow("record, SIGHUP") << QStringList{"--record"} << QStringLiteral("in Record Level mode") << true << int(SIGHUP);
  QTest::newRow("exclusive") << QStringList{"--exclusive"} << QStringLiteral("in Page Level mode (exclusive)")
                             << false << int(SIGTERM);
  QTest::newRow("record exclusive read-only") << QStringList{"--record", "--exclusive", "--read-only"}
                                              << QStringLiteral("in Record Level mode (exclusive)") << false
                                              << int(SIGTERM);
}

void QuilletctlTest::holdAnnouncesAndStopsCleanly() {
  QFETCH(QStringList, options);
  QFETCH(QString, announced);
  QFETCH(bool, lockFile);
  QFETCH(int, stopSignal);
  QTemporaryDir dir;
  const QString path = WriteJetDatabase(dir.path(), "held.mdb");
  const QString lockPath = QDir(dir.path()).filePath("held.ldb");

  QProcess hold;
  hold.start(QuilletctlPath(), QStringList{"hold", path} + options);
  QVERIFY(hold.waitForReadyRead(10000));
  QTest::qWait(20);
  const QString line = QString::fromLocal8Bit(hold.readAllStandardOutput());
  QCOMPARE(line, "holding " + path + " " + announced + "\n");
  QCOMPARE(QFileInfo::exists(lockPath), lockFile);

  // Held for real: an exclusive open from elsewhere is refused.
  const Run probe = Quilletctl({"hold", path, "--exclusive"});
  QCOMPARE(probe.exitCode, 1);
  QVERIFY(probe.err.startsWith("error 3045: "));

  ::kill(static_cast<pid_t>(hold.processId()), stopSignal);
  QVERIFY(hold.waitForFinished(10000));
  QCOMPARE(hold.exitStatus(), QProcess::NormalExit);
  QCOMPARE(hold.exitCode(), 0);
  QVERIFY(hold.readAllStandardError().isEmpty());
  QVERIFY(!QFileInfo::exists(lockPath));  // closed cleanly: the lock file went with it
}

void QuilletctlTest::holdJoinsTheModeInEffect() {
  QTemporaryDir dir;
  const QString path = WriteJetDatabase(dir.path(), "joined.mdb");
  Holder first(path, {"--page"});
  QVERIFY(first.waitUntilHolding());

  QProcess second;
  second.start(QuilletctlPath(), {"hold", path, "--record"});
  QVERIFY(second.waitForReadyRead(10000));
  QCOMPARE(QString::fromLocal8Bit(second.readLine()), "holding " + path + " in Page Level mode\n");
  ::kill(static_cast<pid_t>(second.processId()), SIGTERM);
  QVERIFY(second.waitForFinished(10000));
  QCOMPARE(second.exitCode(), 0);
  QVERIFY(QFileInfo::exists(QDir(dir.path()).filePath("joined.ldb")));  // the first still holds it
  QCOMPARE(first.stop(), 0);
  QVERIFY(!QFileInfo::exists(QDir(dir.path()).filePath("joined.ldb")));
}

void QuilletctlTest::holdThatCannotOpenExitsAtOnce() {
  QTemporaryDir dir;
  const QString path = QDir(dir.path()).filePath("missing.mdb");
  const Run run = Quilletctl({"hold", path, "--record"});
  QCOMPARE(run.exitCode, 1);
  QCOMPARE(run.err, QStringLiteral("error -2147467259: Could not find file '%1'.\n").arg(path));
  QVERIFY(run.out.isEmpty());
}

void QuilletctlTest::fileNamedLikeAnOption() {
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  WriteJetDatabase(dir.path(), "--record");
  const Run run = Quilletctl({"check", "--", "--record"});
  QCOMPARE(run.exitCode, 0);
  QCOMPARE(run.out, kPageText);
}

QTEST_GUILESS_MAIN(QuilletctlTest)
#include "QuilletctlTest.moc"
