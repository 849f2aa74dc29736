// What the engine accepts as a Jet database, and how it refuses everything else: at
// once, without blocking, without leaving a lock file behind.

#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>

#include "EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

QByteArray WithByte(QByteArray bytes, int offset, char value) {
  bytes[offset] = value;
  return bytes;
}

std::string UnrecognizedText(const std::string& path) {
  return "Unrecognized database format '" + path + "'.";
}

std::string InvalidPathText(const std::string& path) {
  return "'" + path +
         "' is not a valid path. Make sure that the path name is spelled correctly and that you "
         "are connected to the server on which the file resides.";
}

// Both interfaces must give the same verdict: DAO with the Jet number, ADO with E_FAIL.
void ExpectRefusal(const std::string& path, int32_t number, const std::string& text) {
  DatabasePtr database;
  const Status dao = OpenDao(path, &database);
  QCOMPARE(dao.number(), number);
  QCOMPARE(QByteArray::fromStdString(dao.description()), QByteArray::fromStdString(text));
  QVERIFY(!database);

  Connection connection;
  const Status ado = OpenAdo(connection, path, 1);
  QCOMPARE(ado.number(), kAdoProviderError);
  QCOMPARE(QByteArray::fromStdString(ado.description()), QByteArray::fromStdString(text));
  QVERIFY(!connection.IsOpen());
}

}  // namespace

class DatabaseFormatTest : public QObject {
  Q_OBJECT

 private slots:
  void jetFilesAreAccepted_data();
  void jetFilesAreAccepted();
  void otherFilesAreRefused_data();
  void otherFilesAreRefused();
  void specialFilesAreRefusedAtOnce_data();
  void specialFilesAreRefusedAtOnce();
  void missingFilesAndBadPaths_data();
  void missingFilesAndBadPaths();
  void unreadableFileIsRefused();
  void symlinkToADatabaseOpensIt();
  void hugeSparseDatabaseOpens();
};

void DatabaseFormatTest::jetFilesAreAccepted_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::newRow("Jet 3") << JetDatabaseBytes(JetVersion::Jet3);
  QTest::newRow("Jet 4") << JetDatabaseBytes(JetVersion::Jet4);
  QTest::newRow("Jet 4, many pages") << JetDatabaseBytes(JetVersion::Jet4, 40);
  QTest::newRow("Jet 3 workgroup") << JetDatabaseBytes(JetVersion::Jet3, 3, "Jet System DB  ");
  QTest::newRow("Jet 4 workgroup") << JetDatabaseBytes(JetVersion::Jet4, 3, "Jet System DB  ");
  QTest::newRow("Jet 3 with a partial page") << JetDatabaseBytes(JetVersion::Jet3, 3) + "xyz";
}

void DatabaseFormatTest::jetFilesAreAccepted() {
  QFETCH(QByteArray, bytes);
  TempFolder folder;
  const std::string path = folder.write("good.mdb", bytes);
  DatabasePtr database;
  const Status status = OpenDao(path, &database);
  QVERIFY2(status.ok(), status.description().c_str());
  QVERIFY(database->IsOpen());
  QCOMPARE(ReadBytes(path), bytes);  // opening never writes the database
}

void DatabaseFormatTest::otherFilesAreRefused_data() {
  QTest::addColumn<QByteArray>("bytes");
  const QByteArray jet4 = JetDatabaseBytes(JetVersion::Jet4);
  QTest::newRow("text") << QByteArray("This is a plain text file, not a database.\r\n").repeated(400);
  QTest::newRow("empty") << QByteArray();
  QTest::newRow("header cut short") << jet4.left(100);
  QTest::newRow("header only, no version byte") << jet4.left(0x14);
  QTest::newRow("ACE") << JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB");
  QTest::newRow("ACE version byte") << WithByte(JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB"), 0x14, 0x03);
  QTest::newRow("MSISAM") << JetDatabaseBytes(JetVersion::Jet4, 3, "MSISAM Database");
  QTest::newRow("version 0x02") << WithByte(jet4, 0x14, 0x02);
  QTest::newRow("version 0x7f") << WithByte(jet4, 0x14, 0x7f);
  QTest::newRow("two Jet 4 pages") << JetDatabaseBytes(JetVersion::Jet4, 2);
  QTest::newRow("two Jet 3 pages") << JetDatabaseBytes(JetVersion::Jet3, 2);
  QTest::newRow("Jet 4 header on Jet 3 pages") << WithByte(JetDatabaseBytes(JetVersion::Jet3, 3), 0x14, 0x01);
  QTest::newRow("three pages less a byte") << jet4.left(jet4.size() - 1);
  QTest::newRow("page type 0x01") << WithByte(jet4, 0, 0x01);
  QTest::newRow("longer engine name") << WithByte(jet4, 19, 'X');
  QTest::newRow("name padded with spaces") << WithByte(jet4, 19, ' ');
  QTest::newRow("a lock file") << QByteArray("host\0\0\0\0", 8).leftJustified(64, '\0');
  QTest::newRow("zeros") << QByteArray(3 * 4096, '\0');
}

void DatabaseFormatTest::otherFilesAreRefused() {
  QFETCH(QByteArray, bytes);
  TempFolder folder;
  const std::string path = folder.write("bad.mdb", bytes);
  ExpectRefusal(path, 3343, UnrecognizedText(path));
  QVERIFY(!Exists(folder.file("bad.ldb")));
  QCOMPARE(ReadBytes(path), bytes);
}

void DatabaseFormatTest::specialFilesAreRefusedAtOnce_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<int>("number");
  QTest::newRow("directory") << QStringLiteral("directory") << 3044;
  QTest::newRow("fifo") << QStringLiteral("fifo") << 3343;
  QTest::newRow("socket") << QStringLiteral("socket") << 3343;
  QTest::newRow("device") << QStringLiteral("device") << 3343;
  QTest::newRow("symlink to a directory") << QStringLiteral("dirlink") << 3044;
}

void DatabaseFormatTest::specialFilesAreRefusedAtOnce() {
  QFETCH(QString, kind);
  QFETCH(int, number);
  TempFolder folder;
  std::string path = folder.file("special.mdb");
  if (kind == "directory") QCOMPARE(::mkdir(path.c_str(), 0755), 0);
  if (kind == "fifo") QCOMPARE(::mkfifo(path.c_str(), 0644), 0);
  if (kind == "socket") QCOMPARE(::mknod(path.c_str(), S_IFSOCK | 0644, 0), 0);
  if (kind == "device") path = "/dev/null";
  if (kind == "dirlink") QCOMPARE(::symlink(folder.path().c_str(), path.c_str()), 0);

  QElapsedTimer timer;
  timer.start();
  ExpectRefusal(path, number, number == 3044 ? InvalidPathText(path) : UnrecognizedText(path));
  QVERIFY(timer.elapsed() < 2000);
  QVERIFY(!Exists(folder.file("special.ldb")));
}

void DatabaseFormatTest::missingFilesAndBadPaths_data() {
  QTest::addColumn<QByteArray>("relative");
  QTest::addColumn<int>("number");
  QTest::newRow("missing file") << QByteArray("absent.mdb") << 3024;
  QTest::newRow("missing file, spaces") << QByteArray("not here.mdb") << 3024;
  QTest::newRow("missing file, not UTF-8") << QByteArray("\xff\xfe.mdb") << 3024;
  QTest::newRow("missing folder") << QByteArray("no such folder/absent.mdb") << 3044;
  QTest::newRow("through a file") << QByteArray("plain.txt/absent.mdb") << 3044;
  QTest::newRow("dangling symlink") << QByteArray("dangling.mdb") << 3024;
  QTest::newRow("empty path") << QByteArray() << 3044;
}

void DatabaseFormatTest::missingFilesAndBadPaths() {
  QFETCH(QByteArray, relative);
  QFETCH(int, number);
  TempFolder folder;
  folder.write("plain.txt", "text");
  QCOMPARE(::symlink(folder.file("gone.mdb").c_str(), folder.file("dangling.mdb").c_str()), 0);
  const std::string path = relative.isEmpty() ? std::string() : folder.file(relative.toStdString());

  const std::string text = number == 3024 ? "Could not find file '" + path + "'." : InvalidPathText(path);
  ExpectRefusal(path, number, text);
  QVERIFY(!Exists(folder.file("gone.mdb")));
}

void DatabaseFormatTest::unreadableFileIsRefused() {
  if (::geteuid() != 0) QSKIP("needs root to act as a second user");
  TempFolder folder;
  folder.openToEveryone();
  const std::string path = folder.database("secret.mdb");
  QCOMPARE(::chmod(path.c_str(), 0600), 0);

  OtherProcess stranger({"check", path}, OtherProcess::kNobody);
  QCOMPARE(stranger.wait(), 1);
  QCOMPARE(QString::fromStdString(stranger.standardError()),
           QString::fromStdString("error 3051: The Microsoft Jet database engine cannot open the file '" +
                                  path +
                                  "'. It is already opened exclusively by another user, or you need "
                                  "permission to view its data.\n"));
}

// A database reached through a symlink: the lock file sits beside the name that was
// opened, as it does beside a name on a network share.
void DatabaseFormatTest::symlinkToADatabaseOpensIt() {
  TempFolder folder;
  const std::string real = folder.database("real.mdb");
  const std::string link = folder.file("link.mdb");
  QCOMPARE(::symlink(real.c_str(), link.c_str()), 0);

  DatabasePtr database;
  QVERIFY(OpenDao(link, &database).ok());
  QCOMPARE(database->Name(), link);
  QVERIFY(Exists(folder.file("link.ldb")));
  QVERIFY(!Exists(folder.file("real.ldb")));
}

void DatabaseFormatTest::hugeSparseDatabaseOpens() {
  TempFolder folder;
  const std::string path = folder.database("huge.mdb");
  QCOMPARE(::truncate(path.c_str(), off_t{5} << 30), 0);  // 5 GiB, sparse
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
}

QTEST_GUILESS_MAIN(DatabaseFormatTest)
#include "DatabaseFormatTest.moc"
