// The real program ended by the signals of a kill, Ctrl+C and a logout: it lets go of its
// database the ordinary way, lock file included, and exits with 0.

#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>

#include "common/Registry.h"
#include "platform/ErrObject.h"
#include "platform/registry/RegistryStore.h"
#include "support/Fixtures.h"

namespace quillet::test {

class StopTest : public QObject {
  Q_OBJECT

 private slots:
  void endsCleanlyOnStopSignals_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("heldElsewhere");  // start-up shows its lock-file warning
    QTest::addColumn<bool>("outputClosed");   // started with standard output and error closed
    QTest::newRow("SIGTERM") << SIGTERM << false << false;
    QTest::newRow("SIGINT") << SIGINT << false << false;
    QTest::newRow("SIGHUP") << SIGHUP << false << false;
    QTest::newRow("SIGTERM, output and error closed") << SIGTERM << false << true;
    QTest::newRow("SIGTERM during the warning") << SIGTERM << true << false;
  }
  void endsCleanlyOnStopSignals() {
    QFETCH(int, signal);
    QFETCH(bool, heldElsewhere);
    QFETCH(bool, outputClosed);
    QTemporaryDir dir;
    const QString database = WriteJetDatabase(dir.path(), QStringLiteral("Sales.mdb"));
    const QString lockFile = dir.filePath(QStringLiteral("Sales.ldb"));

    // The settings store the program finds in its configuration folder remembers the
    // database, written the way the program writes it.
    const QString config = dir.filePath(QStringLiteral("config"));
    const QByteArray previousConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    RegistryStore::SetPath({});
    SaveRegistryString(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Oxtaro\\Utils\\Quillet"),
                       QStringLiteral("DBFilename"), database, {});
    qputenv("XDG_CONFIG_HOME", previousConfig);

    std::unique_ptr<OtherProcess> other;
    if (heldElsewhere) {
      other = std::make_unique<OtherProcess>(std::vector<std::string>{"hold", ToLocalBytes(database)});
      QVERIFY(!other->line().empty());
    }

    QProcess quillet;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    quillet.setProcessEnvironment(environment);  // ctest sets the offscreen platform
    if (outputClosed) {
      quillet.setChildProcessModifier([] {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
      });
    }
    const QString program = qEnvironmentVariable("QUILLET");
    QVERIFY2(!program.isEmpty(), "QUILLET is not set; run the tests through ctest");
    quillet.start(program, {});
    QVERIFY(quillet.waitForStarted());
    if (heldElsewhere) {
      // The lock file is the other's from the start; nothing outside tells when the warning
      // is up, so the program is given time to reach it.
      QTest::qWait(1500);
    } else {
      QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lockFile), 10000);  // the window holds the file
    }

    QCOMPARE(::kill(static_cast<pid_t>(quillet.processId()), signal), 0);
    QVERIFY(quillet.waitForFinished(10000));
    QCOMPARE(quillet.exitStatus(), QProcess::NormalExit);
    QCOMPARE(quillet.exitCode(), 0);
    if (!heldElsewhere) QVERIFY(!QFile::exists(lockFile));
    QFile file(database);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), JetDatabaseBytes());
  }
};

}  // namespace quillet::test

QTEST_MAIN(quillet::test::StopTest)
#include "StopTest.moc"
