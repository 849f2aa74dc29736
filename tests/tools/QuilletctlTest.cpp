// quilletctl as scripts use it: what it prints, how it exits, and that a hold ends as
// cleanly as it began.

#include <unistd.h>

#include <filesystem>

#include "platform/engine/EngineTestUtil.h"

using namespace quillet::test;

class QuilletctlTest : public QObject {
  Q_OBJECT

 private slots:
  void helpDocumentsCommandsAndExitCodes() {
    OtherProcess help({"--help"});
    const std::string text = help.output();
    QCOMPARE(help.stop(), 0);
    for (const char* part : {"quilletctl check FILE", "quilletctl hold FILE", "Exit status:", "  3  "})
      QVERIFY2(text.find(part) != std::string::npos, part);
  }

  void usageErrors_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("nothing") << QStringList{} << "missing command";
    QTest::newRow("unknown command") << QStringList{"open", "x.mdb"} << "unknown command 'open'";
    QTest::newRow("no file") << QStringList{"hold", "--record"} << "hold: missing FILE";
    QTest::newRow("two files") << QStringList{"check", "a.mdb", "b.mdb"} << "check: only one FILE, got 'b.mdb' too";
    QTest::newRow("both modes") << QStringList{"hold", "a.mdb", "--page", "--record"}
                                << "hold: --page and --record exclude each other";
  }

  void usageErrors() {
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    TempFolder folder;
    QCOMPARE(::chdir(folder.path.c_str()), 0);
    std::vector<std::string> arguments;
    for (const QString& arg : args) arguments.push_back(arg.toStdString());
    OtherProcess run(arguments);
    QCOMPARE(run.output(), "quilletctl: " + message.toStdString() + "\nTry 'quilletctl --help'.\n");
    QCOMPARE(run.stop(), 2);
    QVERIFY(std::filesystem::is_empty(folder.path));  // nothing was opened or created
  }

  void checkPrintsTheModeOrTheEngineError() {
    TempFolder folder;
    QCOMPARE(::chdir(folder.path.c_str()), 0);
    const std::string path = folder.database("--record");  // named like an option
    OtherProcess page({"check", "--", "--record"});
    QCOMPARE(page.output(), std::string("Information: The database is using 'Page Level' locking.\n"));
    QCOMPARE(page.stop(), 0);
    QVERIFY(!Exists(folder.file("--record.ldb")));  // left nothing open
    OtherProcess record({"hold", path, "--record"});
    QVERIFY(!record.line().empty());
    QCOMPARE(OtherProcess({"check", path}).output(),
             std::string("Information: The database is using 'Record Level' locking.\n"));

    folder.write("new.accdb", JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB"));
    OtherProcess ace({"check", "new.accdb"});
    QCOMPARE(ace.output(), std::string("error 3343: Unrecognized database format 'new.accdb'.\n"));
    QCOMPARE(ace.stop(), 1);
    OtherProcess missing({"hold", "absent.mdb", "--record"});
    QCOMPARE(missing.output(), std::string("error -2147467259: Could not find file 'absent.mdb'.\n"));
    QCOMPARE(missing.stop(), 1);
  }

  void holdAnnouncesAndStopsCleanly_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("announced");
    QTest::addColumn<int>("stopSignal");
    QTest::newRow("default, SIGTERM") << QStringList{} << " in Page Level mode" << int(SIGTERM);
    QTest::newRow("page, SIGINT") << QStringList{"--page"} << " in Page Level mode" << int(SIGINT);
    QTest::newRow("record, SIGHUP") << QStringList{"--record"} << " in Record Level mode" << int(SIGHUP);
    QTest::newRow("exclusive") << QStringList{"--exclusive"} << " in Page Level mode (exclusive)" << int(SIGTERM);
    QTest::newRow("record exclusive read-only") << QStringList{"--record", "--exclusive", "--read-only"}
                                                << " in Record Level mode (exclusive)" << int(SIGTERM);
  }

  void holdAnnouncesAndStopsCleanly() {
    QFETCH(QStringList, options);
    QFETCH(QString, announced);
    QFETCH(int, stopSignal);
    TempFolder folder;
    const std::string path = folder.database("held.mdb");
    std::vector<std::string> args{"hold", path};
    for (const QString& option : options) args.push_back(option.toStdString());
    OtherProcess hold(args);
    QCOMPARE(hold.line(), "holding " + path + announced.toStdString());
    QCOMPARE(Exists(folder.file("held.ldb")), !options.contains("--exclusive"));
    QVERIFY(OtherProcess({"hold", path, "--exclusive"}).output().starts_with("error 3045: "));  // held for real

    QCOMPARE(hold.stop(stopSignal), 0);
    QCOMPARE(hold.output(), std::string());  // nothing more, no error
    QVERIFY(!Exists(folder.file("held.ldb")));  // closed cleanly: the lock file went with it
  }
};

QTEST_GUILESS_MAIN(QuilletctlTest)
#include "QuilletctlTest.moc"
