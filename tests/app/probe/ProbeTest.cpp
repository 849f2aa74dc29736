// The locking-mode probe: whatever fails, it gives -1 and leaves no error behind.

#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>

#include "app/probe/LockingProbe.h"
#include "common/TraceLog.h"
#include "platform/vb/ErrObject.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

class ProbeTest : public QObject {
  Q_OBJECT

 private slots:
  // No database or one the provider cannot open: -1, no error left, the provider's text traced.
  void probeFailuresGiveMinusOne() {
    QTemporaryDir logs;  // the trace log goes here, with everything traced
    qputenv("XDG_STATE_HOME", QFile::encodeName(logs.path()));
    LogLevel = -1;
    QCOMPARE(int(GetLockingMode(nullptr)), -1);
    QVERIFY(QDir(logs.path()).isEmpty());
    TempFolder folder;
    const std::string path = folder.database("going.mdb");
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    QCOMPARE(::unlink(path.c_str()), 0);
    QCOMPARE(int(GetLockingMode(database)), -1);
    QCOMPARE(Err().Number, 0);
    QFile trace(logs.filePath(QDir(logs.path()).entryList(QDir::Files).value(0)));
    QVERIFY(trace.open(QIODevice::ReadOnly));
    QVERIFY(trace.readAll().contains(
        QByteArray::fromStdString("Failed - Could not find file '" + path + "'.")));
  }
};

QTEST_GUILESS_MAIN(ProbeTest)
#include "ProbeTest.moc"
