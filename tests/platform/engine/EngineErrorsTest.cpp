// How the engine refuses what it cannot open: at once, with the Jet number through DAO and
// E_FAIL with the same text through ADO, leaving nothing behind; the errors the objects
// raise themselves; and GetLockingMode turning every failure into -1.

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <map>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"
#include "common/TraceLog.h"
#include "platform/ErrObject.h"
#include "platform/engine/JetSession.h"  // a Database made without a session

using namespace quillet;
using namespace quillet::test;

namespace {
QByteArray WithByte(QByteArray bytes, int offset, char value) {
  bytes[offset] = value;
  return bytes;
}
}  // namespace

class EngineErrorsTest : public QObject {
  Q_OBJECT

 private slots:
  void verdictOnOpen_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("bytes");  // the contents of a "file", the name of a "missing" one
    QTest::addColumn<int>("number");
    const QByteArray jet4 = JetDatabaseBytes(JetVersion::Jet4);
    QTest::newRow("Jet 3") << "file" << JetDatabaseBytes(JetVersion::Jet3) << 0;
    QTest::newRow("Jet 4 workgroup") << "file" << JetDatabaseBytes(JetVersion::Jet4, 3, "Jet System DB  ") << 0;
    QTest::newRow("Jet 3, a partial page more") << "file" << JetDatabaseBytes(JetVersion::Jet3) + "xyz" << 0;
    QTest::newRow("huge, sparse") << "huge" << QByteArray() << 0;
    QTest::newRow("symlink to a database") << "link" << QByteArray() << 0;  // its lock file beside the link
    QTest::newRow("text") << "file" << QByteArray("Plain text, not a database.\r\n").repeated(400) << 3343;
    QTest::newRow("empty") << "file" << QByteArray() << 3343;
    QTest::newRow("header cut short") << "file" << jet4.left(0x14) << 3343;
    QTest::newRow("ACE") << "file" << JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB") << 3343;
    QTest::newRow("MSISAM") << "file" << JetDatabaseBytes(JetVersion::Jet4, 3, "MSISAM Database") << 3343;
    QTest::newRow("version 0x02") << "file" << WithByte(jet4, 0x14, 0x02) << 3343;
    QTest::newRow("page type 0x01") << "file" << WithByte(jet4, 0, 0x01) << 3343;
    QTest::newRow("longer engine name") << "file" << WithByte(jet4, 19, 'X') << 3343;
    QTest::newRow("two Jet 3 pages") << "file" << JetDatabaseBytes(JetVersion::Jet3, 2) << 3343;
    QTest::newRow("three pages less a byte") << "file" << jet4.chopped(1) << 3343;
    QTest::newRow("fifo") << "fifo" << QByteArray() << 3343;
    QTest::newRow("device") << "device" << QByteArray() << 3343;
    QTest::newRow("directory") << "directory" << QByteArray() << 3044;
    QTest::newRow("dangling symlink") << "dangling" << QByteArray() << 3024;
    QTest::newRow("missing, spaces, not UTF-8") << "missing" << QByteArray("not h\xe9re \xff.mdb") << 3024;
    QTest::newRow("missing folder") << "missing" << QByteArray("no such folder/absent.mdb") << 3044;
    QTest::newRow("through a file") << "missing" << QByteArray("plain.txt/absent.mdb") << 3044;
    QTest::newRow("empty path") << "missing" << QByteArray() << 3044;
  }

  void verdictOnOpen() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(int, number);
    TempFolder folder;
    folder.write("plain.txt", "text");
    std::string path = folder.file("bad.mdb");
    if (kind == "file") folder.write("bad.mdb", bytes);
    if (kind == "huge") ::truncate(folder.database("bad.mdb").c_str(), off_t{5} << 30);
    if (kind == "link") ::symlink(folder.database("real.mdb").c_str(), path.c_str());
    if (kind == "fifo") ::mkfifo(path.c_str(), 0644);
    if (kind == "device") path = "/dev/null";
    if (kind == "directory") ::mkdir(path.c_str(), 0755);
    if (kind == "dangling") ::symlink(folder.file("gone.mdb").c_str(), path.c_str());
    if (kind == "missing") path = bytes.isEmpty() ? std::string() : folder.file(bytes.toStdString());
    const std::map<int, std::string> texts{
        {0, ""},
        {3024, "Could not find file '" + path + "'."},
        {3044, "'" + path + "' is not a valid path. Make sure that the path name is spelled correctly "
               "and that you are connected to the server on which the file resides."},
        {3343, "Unrecognized database format '" + path + "'."}};

    // A failed open leaves the caller's handle as it was, as a failed assignment would.
    DatabasePtr database;
    QVERIFY(OpenDao(folder.database("good.mdb"), &database).ok());
    const DatabasePtr before = database;
    QCOMPARE(Failure(OpenDao(path, &database)), std::to_string(number) + ": " + texts.at(number));
    QCOMPARE(database == before, number != 0);
    Connection connection;
    QCOMPARE(Failure(OpenAdo(connection, path, 1)), (number ? "-2147467259: " : "0: ") + texts.at(number));
    QCOMPARE(Exists(folder.file("bad.ldb")), number == 0);
    QVERIFY(!Exists(folder.file("real.ldb")));
    QVERIFY(!Exists(folder.file("gone.mdb")));
    if (kind == "file") QCOMPARE(ReadBytes(path), bytes);  // opening never writes the database
  }

  void objectsReportTheirOwnErrors() {
    TempFolder folder;
    const std::string path = folder.database("objects.mdb");
    const std::string providerNotFound = "3706: Provider cannot be found. It may not be properly installed.";
    Connection connection;
    PropertyValue value;
    connection.SetProvider("Microsoft.ACE.OLEDB.12.0");
    QCOMPARE(Failure(connection.SetProperty(kPropDataSource, path)), providerNotFound);
    QCOMPARE(Failure(connection.Open()), providerNotFound);
    connection.SetProvider(kJetOleDbProvider);
    const std::string itemNotFound =
        "3265: Item cannot be found in the collection corresponding to the requested name or ordinal.";
    QCOMPARE(Failure(connection.SetProperty("Mode", int32_t{1})), itemNotFound);
    QCOMPARE(Failure(connection.GetProperty("Data Sourc", &value)), itemNotFound);
    // Names match whatever their case; a connection string sets them like properties.
    QVERIFY(connection.Open("Provider=microsoft.jet.oledb.4.0; DATA SOURCE=" + path +
                            ";jet oledb:database locking mode=1;").ok());
    QCOMPARE(ModeOf(connection), 1);
    QCOMPARE(Failure(connection.Open()), std::string("3705: Operation is not allowed when the object is open."));

    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    QVERIFY(database->Close().ok());
    QCOMPARE(Failure(database->Close()), std::string("3420: Object invalid or no longer set."));
    QCOMPARE(database->Name(), path);  // the name outlives the connection
  }

  void probeFailuresGiveMinusOne_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("traced");  // empty: no trace at all
    QTest::newRow("no database") << "none" << QString();
    QTest::newRow("no name") << "nameless" << QString();
    QTest::newRow("file deleted") << "deleted" << "Failed - Could not find file '%1'.";
    QTest::newRow("file replaced by text") << "text" << "Failed - Unrecognized database format '%1'.";
    QTest::newRow("held exclusively") << "exclusive" << "Failed - Could not use '%1'; file already in use.";
  }

  void probeFailuresGiveMinusOne() {
    QFETCH(QString, how);
    QFETCH(QString, traced);
    QTemporaryDir logs;  // the trace log goes here, with everything traced
    qputenv("XDG_STATE_HOME", QFile::encodeName(logs.path()));
    LogLevel = -1;
    TempFolder folder;
    const std::string path = folder.database("going.mdb");
    DatabasePtr database;
    QVERIFY(OpenDao(path, &database).ok());
    if (how == "none") database.reset();
    if (how == "nameless") database = std::make_shared<Database>(nullptr);
    if (how == "deleted" || how == "text") QCOMPARE(::unlink(path.c_str()), 0);
    if (how == "text") folder.write("going.mdb", "just some text\n");
    if (how == "exclusive") database.reset();  // and held exclusively: the probe cannot get in
    if (how == "exclusive") QVERIFY(OpenDao(path, &database, true).ok());

    QCOMPARE(GetLockingMode(database), -1);
    QCOMPARE(Err().Number, 0);  // the probe swallows the failure
    // Without a name it returns before creating a connection: no trace file at all.
    QFile trace(logs.filePath(QDir(logs.path()).entryList(QDir::Files).value(0)));
    QCOMPARE(trace.open(QIODevice::ReadOnly) && trace.readAll().contains(traced.arg(path.c_str()).toUtf8()),
             !traced.isEmpty());
  }
};

QTEST_GUILESS_MAIN(EngineErrorsTest)
#include "EngineErrorsTest.moc"
