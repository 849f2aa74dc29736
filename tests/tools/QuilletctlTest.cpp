// quilletctl as scripts use it: what it prints, how it exits, and that a hold ends as
// cleanly as it began.

#include "platform/engine/EngineTestUtil.h"

using namespace quillet::test;

namespace {
std::vector<std::string> Args(const QString& command) {
  std::vector<std::string> args;
  for (const QString& arg : command.split(' ', Qt::SkipEmptyParts)) args.push_back(arg.toStdString());
  return args;
}
}  // namespace

class QuilletctlTest : public QObject {
  Q_OBJECT

 private slots:
  void runsAndExits_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed");
    const QString usage = "quilletctl: %1\nTry 'quilletctl --help'.\n";
    QTest::newRow("help") << "--help" << 0 << "\nExit status:\n  0  success\n";
    QTest::newRow("nothing") << "" << 2 << usage.arg("missing command");
    QTest::newRow("unknown command") << "open x.mdb" << 2 << usage.arg("unknown command 'open'");
    QTest::newRow("no file") << "hold --record" << 2 << usage.arg("hold: missing FILE");
    QTest::newRow("two files") << "check a.mdb b.mdb" << 2 << usage.arg("check: only one FILE, got 'b.mdb' too");
    QTest::newRow("both modes") << "hold a.mdb --page --record" << 2
                                << usage.arg("hold: --page and --record exclude each other");
    QTest::newRow("file named like an option")
        << "check -- --record" << 0 << "Information: The database is using 'Page Level' locking.\n";
    QTest::newRow("missing file") << "hold absent.mdb --record" << 1
                                  << "error -2147467259: Could not find file 'absent.mdb'.\n";
  }

  void runsAndExits() {
    QFETCH(QString, command);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    TempFolder folder;
    QCOMPARE(::chdir(folder.path.c_str()), 0);
    folder.database("--record");
    OtherProcess run(Args(command));
    const QString output = QString::fromStdString(run.output());
    QVERIFY2(command == "--help" ? output.contains(printed) : output == printed, qPrintable(output));
    QCOMPARE(run.stop(), exitCode);
    QCOMPARE(std::distance(std::filesystem::directory_iterator(folder.path), {}), 1);  // left nothing behind
  }

  void holdAnnouncesAndStopsCleanly_data() {
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("announced");
    QTest::addColumn<int>("stopSignal");
    QTest::newRow("record") << "--record" << " in Record Level mode" << int(SIGINT);
    QTest::newRow("exclusive") << "--exclusive" << " in Page Level mode (exclusive)" << int(SIGHUP);
    QTest::newRow("record exclusive read-only")
        << "--record --exclusive --read-only" << " in Record Level mode (exclusive)" << int(SIGTERM);
  }

  void holdAnnouncesAndStopsCleanly() {
    QFETCH(QString, options);
    QFETCH(QString, announced);
    QFETCH(int, stopSignal);
    TempFolder folder;
    const std::string path = folder.database("held.mdb");
    OtherProcess hold(Args("hold " + QString::fromStdString(path) + " " + options));
    QCOMPARE(hold.line(), "holding " + path + announced.toStdString());
    QCOMPARE(Exists(folder.file("held.ldb")), !options.contains("--exclusive"));
    QVERIFY(OtherProcess({"hold", path, "--exclusive"}).errors().starts_with("error 3045: "));  // held for real
    QCOMPARE(hold.stop(stopSignal), 0);
    QCOMPARE(hold.output(), std::string());  // nothing more, no error
    QVERIFY(!Exists(folder.file("held.ldb")));  // closed cleanly: the lock file went with it
  }
};

QTEST_GUILESS_MAIN(QuilletctlTest)
#include "QuilletctlTest.moc"
