// The registry functions and the remembered-setting operations over the real store in a
// temporary folder, with several processes writing at once, a writer killed mid-write and
// damaged files in the store's place. The other processes are this binary run as a writer.

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/GeneralConstants.h"
#include "common/Registry.h"
#include "platform/ErrObject.h"
#include "platform/registry/KeyHandles.h"
#include "platform/registry/RegistryStore.h"

using namespace quillet;
using namespace quillet::winreg;

namespace {

const QString kAppKey = QString(kRegistryBaseKey) + kRegistryAppKey;
const QByteArray kAppKeyBytes = kAppKey.toLatin1();

// Writes bytes with a type of our choosing, as another program could.
LONG WriteRaw(const char* name, DWORD type, const QByteArray& bytes) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyA(HKEY_LOCAL_MACHINE, kAppKeyBytes.constData(), &key);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.constData()),
                            DWORD(bytes.size()));
  }
  RegCloseKey(key);
  return status;
}

// A writer's own value: its counter, then padding of a letter the counter chooses, so
// that pages of two different writes would mix letters or lengths.
QByteArray OwnValue(int counter, int padding) {
  return QByteArray::number(counter) + QByteArray(padding, char('a' + counter % 26));
}

// The writer process: stores "<tag>-<i>" as the remembered path and OwnValue(i) under its
// tag, count times (0: until killed). Given a go file it waits for it first, so that all
// writers start at one moment. Fails at the first write that does not succeed.
int WriterChild(const char* store, const char* tag, int count, const char* go) {
  RegistryStore::SetPath(store);
  const auto say = [](const char* what) { std::puts(what); std::fflush(stdout); };
  if (*go != '\0') say("ready");
  while (*go != '\0' && ::access(go, F_OK) != 0) ::usleep(100);
  // The endless writer's value spans many pages, so a kill often lands mid-transaction.
  const int padding = count == 0 ? 400000 : 3000;
  for (int i = 0; count == 0 || i < count; ++i) {
    const QByteArray text = tag + QByteArray("-") + QByteArray::number(i);
    if (WriteRaw(kDBFilenameValue, REG_SZ, text) != ERROR_SUCCESS ||
        WriteRaw(tag, REG_SZ, OwnValue(i, padding)) != ERROR_SUCCESS) {
      return 10;
    }
    if (i == 0) say("wrote");
  }
  return 0;
}

// SQLite's own verdict on the file.
QByteArray IntegrityOf(const QString& path) {
  sqlite3* db = nullptr;
  QByteArray verdict = "no verdict";
  const auto keep = [](void* out, int, char** values, char**) {
    *static_cast<QByteArray*>(out) = values[0];
    return 0;
  };
  sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_exec(db, "PRAGMA integrity_check", keep, &verdict, nullptr);
  sqlite3_close(db);
  return verdict;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

mode_t ModeOf(const QString& path) {
  struct stat info {};
  return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

class RegistryTest : public QObject {
  Q_OBJECT
  std::unique_ptr<QTemporaryDir> dir_;
  QString store_;
  size_t handlesBefore_ = 0;

  QString remembered(const QString& fallback = QString()) {
    return GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, kDBFilenameValue, fallback);
  }
  void remember(const QString& text, const QString& fallback = QString()) {
    SaveRegistryString(HKEY_LOCAL_MACHINE, kAppKey, kDBFilenameValue, text, fallback);
  }
  QStringList corruptCopies() const {
    return QFileInfo(store_).dir().entryList({"registry.sqlite3.corrupt-*"}, QDir::Files);
  }
  std::unique_ptr<QProcess> startWriter(const QString& tag, int count, const QString& go = {}) {
    auto child = std::make_unique<QProcess>();
    child->start(QCoreApplication::applicationFilePath(),
                 {"--writer", store_, tag, QString::number(count), go});
    return child;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    store_ = dir_->filePath("Oxtaro/Quillet/registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(store_).toStdString());
    handlesBefore_ = registry::OpenKeyHandleCount();
  }
  void cleanup() {
    // Every operation closes the keys it opened, whichever way it ended.
    QCOMPARE(registry::OpenKeyHandleCount(), handlesBefore_);
    RegistryStore::SetPath({});
  }

  void absentValueGivesTheDefault() {
    QCOMPARE(remembered("fallback"), QString("fallback"));
    QVERIFY(!QFile::exists(store_));  // reading never creates the store
    HKEY key = nullptr;
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, kAppKeyBytes.constData(), &key), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
    Err().Raise(13, "earlier failure");
    QCOMPARE(remembered("fallback"), QString("fallback"));  // the key without the value
    QCOMPARE(Err().Number, 0);  // reading a value switches error handling, which clears it
  }

  void storedValueReads_data() {
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no terminator") << uint(REG_SZ) << QByteArray("/srv/a.mdb") << "/srv/a.mdb";
    QTest::newRow("terminator") << uint(REG_SZ) << QByteArray("/srv/a.mdb", 11) << "/srv/a.mdb";
    QTest::newRow("NUL inside") << uint(REG_SZ) << QByteArray("/srv/a.mdb\0x", 12) << "/srv/a.mdb";
    QTest::newRow("NUL first") << uint(REG_SZ) << QByteArray("\0rest", 5) << "";
    QTest::newRow("empty") << uint(REG_SZ) << QByteArray() << "";
    // A value of another type is there, so it reads as the empty text, not the default.
    QTest::newRow("number") << uint(REG_DWORD) << QByteArray(4, '\x2a') << "";
    QTest::newRow("expandable text") << uint(REG_EXPAND_SZ) << QByteArray("/srv/%U%.mdb") << "";
  }
  void storedValueReads() {
    QFETCH(uint, type);
    QFETCH(QByteArray, stored);
    QFETCH(QString, expected);
    QCOMPARE(WriteRaw(kDBFilenameValue, type, stored), ERROR_SUCCESS);
    QCOMPARE(remembered("fallback"), expected);
  }

  void savingStoresTheWholeText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fallback");
    QTest::newRow("path") << "/srv/data/sales.mdb" << "";
    QTest::newRow("non-ASCII") << "/srv/données/Été 日本.mdb" << "";
    // The default is compared exactly.
    QTest::newRow("default in other case") << "/SRV/A.MDB" << "/srv/a.mdb";
    QTest::newRow("empty, other default") << "" << "/srv/a.mdb";
  }
  void savingStoresTheWholeText() {
    QFETCH(QString, text);
    QFETCH(QString, fallback);
    remember("/srv/older.mdb", fallback);  // creates the missing keys, then is overwritten
    remember(text, fallback);
    QCOMPARE(remembered(fallback), text);
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, kAppKey, kDBFilenameValue, "none"),
             QString("none"));  // each root is a tree of its own
  }

  void savingTheDefaultDeletesTheValueAndKeepsTheKey() {
    remember("/srv/a.mdb");
    remember("/srv/a.mdb");
    QCOMPARE(WriteRaw("Other", REG_SZ, "stays"), ERROR_SUCCESS);
    remember("");
    QCOMPARE(remembered("fallback"), QString("fallback"));  // gone, no second copy left
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QCOMPARE(GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, "Other", ""), QString("stays"));
  }

  void savingTheDefaultWithoutTheKeyCreatesNothing() {
    remember("");
    remember("same", "same");
    QVERIFY(!RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QVERIFY(!QFile::exists(store_));
  }

  void namesIgnoreCase() {
    SaveRegistryString(HKEY_LOCAL_MACHINE, "software\\OXTARO\\utils\\qUILLET", "dbfilename",
                       "/srv/a.mdb", "");
    QCOMPARE(remembered(), QString("/srv/a.mdb"));
    // One value, not two spellings side by side: deleting under one spelling removes it.
    remember("");
    QCOMPARE(GetRegistryString(HKEY_LOCAL_MACHINE, "Software\\oxtaro\\UTILS\\Quillet",
                               "DBFILENAME", "none"),
             QString("none"));
    // Beyond ASCII too.
    SaveRegistryString(HKEY_CURRENT_USER, "Société\\ÉTÉ", "NäME", "value", "");
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, "SOCIÉTÉ\\été", "nÄme", "none"),
             QString("value"));
  }

  void twoCallSizeProtocol() {
    // Stored whole: the byte count is the length of the UTF-8 bytes, without a terminator.
    const QByteArray bytes = "/srv/données/Société ß 日本 \xF0\x9F\x93\x81.mdb";
    const DWORD needed = DWORD(bytes.size());
    remember(QString::fromUtf8(bytes));
    HKEY key = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, kAppKeyBytes.constData(), &key), ERROR_SUCCESS);
    DWORD type = REG_NONE, size = 0;
    QCOMPARE(RegQueryValueExA(key, kDBFilenameValue, nullptr, &type, nullptr, &size),
             ERROR_SUCCESS);
    QCOMPARE(type, REG_SZ);
    QCOMPARE(size, needed);
    // Too small: ERROR_MORE_DATA and the size needed. Big enough: the data and its true
    // size, and nothing written beyond it.
    for (const DWORD given : {0u, needed - 1, needed, needed + 5}) {
      QByteArray buffer(needed + 5, '-');
      size = given;
      const LONG status = RegQueryValueExA(key, kDBFilenameValue, nullptr, nullptr,
                                           reinterpret_cast<LPBYTE>(buffer.data()), &size);
      QCOMPARE(status, given < needed ? ERROR_MORE_DATA : ERROR_SUCCESS);
      QCOMPARE(size, needed);
      if (status == ERROR_SUCCESS) QCOMPARE(buffer, bytes + "-----");
    }
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
  }

  void storeIsPrivateWhateverTheUmask() {
    const mode_t old = ::umask(0);
    remember("/srv/a.mdb");
    ::umask(old);
    QCOMPARE(ModeOf(store_), mode_t(0600));
    QCOMPARE(ModeOf(QFileInfo(store_).path()), mode_t(0700));
  }

  void severalProcessesWritingAtOnce() {
    // All of them meet a damaged store at one moment: it is moved aside once, and never
    // the fresh store another writer has just started in its place.
    QVERIFY(WriteAll(store_, QByteArray(4096, 'G')));
    const QString go = dir_->filePath("go");
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int n = 0; n < 4; ++n) writers.push_back(startWriter(QString("w%1").arg(n), 40, go));
    for (auto& writer : writers) QVERIFY(writer->waitForReadyRead(20000));
    QVERIFY(WriteAll(go, {}));
    for (auto& writer : writers) {
      QVERIFY(writer->waitForFinished(60000));
      QVERIFY(writer->exitStatus() == QProcess::NormalExit && writer->exitCode() == 0);
    }
    QCOMPARE(IntegrityOf(store_), QByteArray("ok"));
    QCOMPARE(corruptCopies().size(), 1);
    // Last write wins: one writer's last text, and every writer's last value whole.
    const QString last = remembered();
    QVERIFY2(QRegularExpression("^w[0-3]-39$").match(last).hasMatch(), qPrintable(last));
    for (int n = 0; n < 4; ++n) {
      QCOMPARE(GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, QString("w%1").arg(n), ""),
               QString(OwnValue(39, 3000)));
    }
  }

  void writerKilledMidWriteLeavesAReadableStore() {
    for (int round = 0; round < 10; ++round) {
      auto writer = startWriter("killed", 0);
      QVERIFY(writer->waitForReadyRead(20000));  // it has written once
      QTest::qWait(5 + QRandomGenerator::global()->bounded(60));
      writer->kill();  // SIGKILL: no clean-up of any kind
      QVERIFY(writer->waitForFinished(10000));
      QCOMPARE(writer->exitStatus(), QProcess::CrashExit);
      // The next reader rolls the interrupted write back and finds whole values.
      const QString text = remembered();
      QVERIFY2(QRegularExpression("^killed-\\d+$").match(text).hasMatch(), qPrintable(text));
      const QByteArray own =
          GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, "killed", "").toLatin1();
      const int counter = QRegularExpression("^\\d+").match(QString(own)).captured().toInt();
      QVERIFY2(own == OwnValue(counter, 400000), own.left(20).constData());
      QCOMPARE(IntegrityOf(store_), QByteArray("ok"));
      remember(QString("/srv/after-%1.mdb").arg(round));  // and it takes writes again
      QCOMPARE(remembered(), QString("/srv/after-%1.mdb").arg(round));
    }
  }

  void damagedStoreReadsAsDefaultAndIsMovedAside_data() {
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("movedAside");
    QTemporaryDir scratch;
    const QString path = scratch.filePath("registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(path).toStdString());
    remember(QString(6000, 'f'));  // a store of several pages
    QByteArray pages = ReadAll(path);
    // SQLite's header stays (it names the file as ours); every page after it is wrecked.
    for (qsizetype i = 200; i < pages.size(); ++i) pages[i] = char(0xA5 ^ i);
    QFile::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_exec(db, "CREATE TABLE vals(x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    QTest::newRow("garbage") << QByteArray("not a database!!").repeated(512) << true;
    QTest::newRow("damaged pages") << pages << true;
    QTest::newRow("another program's database") << ReadAll(path) << true;
    QTest::newRow("empty file: an empty store") << QByteArray() << false;
  }
  void damagedStoreReadsAsDefaultAndIsMovedAside() {
    QFETCH(QByteArray, contents);
    QFETCH(bool, movedAside);
    QVERIFY(WriteAll(store_, contents));
    QCOMPARE(remembered("fallback"), QString("fallback"));
    QCOMPARE(ReadAll(store_), contents);  // reading changes nothing
    remember("/srv/fresh.mdb");
    QCOMPARE(remembered(), QString("/srv/fresh.mdb"));
    const QStringList copies = corruptCopies();
    QCOMPARE(copies.size(), movedAside ? 1 : 0);
    if (movedAside) QCOMPARE(ReadAll(QFileInfo(store_).dir().filePath(copies[0])), contents);
  }
};

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--writer") == 0) {
    return WriterChild(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
  }
  QCoreApplication app(argc, argv);
  RegistryTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "RegistryTest.moc"
