// Kill: deletes what nobody holds, refuses what a live connection holds, never follows a
// symlink, and tells a missing file from a missing folder.

#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QTest>

#include "EngineTestUtil.h"
#include "platform/FileSystem.h"

using namespace quillet;
using namespace quillet::test;

class KillTest : public QObject {
  Q_OBJECT

 private slots:
  void whatCannotBeDeleted_data();
  void whatCannotBeDeleted();
  void unheldFilesAreDeleted_data();
  void unheldFilesAreDeleted();
  void symlinkIsDeletedNotItsTarget();
  void lockFileHeldByAnotherProcessIsRefused();
  void databaseInUseIsRefused();
  void undeletableFileRefusesWithPermissionDenied();
};

void KillTest::whatCannotBeDeleted_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<int>("number");
  QTest::addColumn<QString>("text");
  QTest::newRow("missing file") << QStringLiteral("missing") << 53 << QStringLiteral("File not found");
  QTest::newRow("missing folder") << QStringLiteral("nofolder") << 76 << QStringLiteral("Path not found");
  QTest::newRow("through a file") << QStringLiteral("throughfile") << 76 << QStringLiteral("Path not found");
  QTest::newRow("empty path") << QStringLiteral("empty") << 53 << QStringLiteral("File not found");
  QTest::newRow("directory") << QStringLiteral("directory") << 75 << QStringLiteral("Path/File access error");
  QTest::newRow("fifo") << QStringLiteral("fifo") << 75 << QStringLiteral("Path/File access error");
  QTest::newRow("socket") << QStringLiteral("socket") << 75 << QStringLiteral("Path/File access error");
}

void KillTest::whatCannotBeDeleted() {
  QFETCH(QString, kind);
  QFETCH(int, number);
  QFETCH(QString, text);
  TempFolder folder;
  const std::string plain = folder.write("plain.txt", "x");
  std::string path = folder.file("target.ldb");
  if (kind == "nofolder") path = folder.file("absent/target.ldb");
  if (kind == "throughfile") path = plain + "/target.ldb";
  if (kind == "empty") path.clear();
  if (kind == "directory") QCOMPARE(::mkdir(path.c_str(), 0755), 0);
  if (kind == "fifo") QCOMPARE(::mkfifo(path.c_str(), 0644), 0);
  if (kind == "socket") QCOMPARE(::mknod(path.c_str(), S_IFSOCK | 0644, 0), 0);

  const Status status = Kill(path);
  QCOMPARE(status.number(), number);
  QCOMPARE(QString::fromStdString(status.description()), text);
  if (kind == "directory" || kind == "fifo" || kind == "socket") QVERIFY(Exists(path));
  QVERIFY(Exists(plain));
}

void KillTest::unheldFilesAreDeleted_data() {
  QTest::addColumn<QByteArray>("name");
  QTest::newRow("plain") << QByteArray("stale.ldb");
  QTest::newRow("spaces") << QByteArray("my stale lock.ldb");
  QTest::newRow("not UTF-8") << QByteArray("\xe9t\xe9.ldb");
  QTest::newRow("leading dash") << QByteArray("-rf.ldb");
}

void KillTest::unheldFilesAreDeleted() {
  QFETCH(QByteArray, name);
  TempFolder folder;
  const std::string path = folder.write(name.toStdString(), QByteArray(64, 'x'));
  QVERIFY(Kill(path).ok());
  QVERIFY(!Exists(path));
  QCOMPARE(Kill(path).number(), kErrFileNotFound);
}

void KillTest::symlinkIsDeletedNotItsTarget() {
  TempFolder folder;
  // The target is a held lock file: had Kill followed the link it would have refused.
  const std::string database = folder.database("real.mdb");
  const std::string lockFile = folder.file("real.ldb");
  DatabasePtr holder;
  QVERIFY(OpenDao(database, &holder).ok());
  const std::string link = folder.file("link.ldb");
  QCOMPARE(::symlink(lockFile.c_str(), link.c_str()), 0);

  QVERIFY(Kill(link).ok());
  QVERIFY(!Exists(link));
  QVERIFY(Exists(lockFile));

  const std::string dangling = folder.file("dangling.ldb");
  QCOMPARE(::symlink(folder.file("nowhere").c_str(), dangling.c_str()), 0);
  QVERIFY(Kill(dangling).ok());
  QVERIFY(!Exists(dangling));
}

void KillTest::lockFileHeldByAnotherProcessIsRefused() {
  TempFolder folder;
  const std::string path = folder.database("remote.mdb");
  const std::string lockFile = folder.file("remote.ldb");
  OtherProcess other({"hold", path, "--record"});
  QVERIFY(other.firstLine().has_value());

  for (int i = 0; i < 3; ++i) QCOMPARE(Kill(lockFile).number(), kErrPermissionDenied);
  QVERIFY(Exists(lockFile));

  QCOMPARE(other.stop(), 0);  // a clean close deletes it itself
  QVERIFY(!Exists(lockFile));
  QCOMPARE(Kill(lockFile).number(), kErrFileNotFound);
}

// Shared connections hold only read locks on the database itself; Kill must see those too.
void KillTest::databaseInUseIsRefused() {
  TempFolder folder;
  const std::string path = folder.database("busy.mdb");
  {
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    QCOMPARE(Kill(path).number(), kErrPermissionDenied);
  }
  {
    DatabasePtr exclusive;
    QVERIFY(OpenDao(path, &exclusive, true).ok());
    QCOMPARE(Kill(path).number(), kErrPermissionDenied);
  }
  QVERIFY(Exists(path));
  QVERIFY(Kill(path).ok());
}

// Root ignores permission bits; an immutable file is what it cannot unlink.
void KillTest::undeletableFileRefusesWithPermissionDenied() {
  TempFolder folder;
  const std::string path = folder.write("fixed.ldb", QByteArray(64, 'x'));
  const QString name = QString::fromStdString(path);
  QProcess chattr;
  chattr.start(QStringLiteral("chattr"), {QStringLiteral("+i"), name});
  if (!chattr.waitForFinished() || chattr.exitStatus() != QProcess::NormalExit || chattr.exitCode() != 0)
    QSKIP("this file system has no immutable attribute");
  const Status status = Kill(path);
  QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), name});
  QCOMPARE(status.number(), kErrPermissionDenied);
  QVERIFY(Exists(path));
}

QTEST_GUILESS_MAIN(KillTest)
#include "KillTest.moc"
