// The registry functions over the real store; the killed writer is this binary as --writer.

#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/GeneralConstants.h"
#include "common/Registry.h"
#include "platform/base/Posix.h"
#include "platform/registry/KeyHandles.h"
#include "platform/registry/RegistryStore.h"
#include "platform/vb/ErrObject.h"
#include "support/DataRows.h"

using namespace quillet;
using namespace quillet::test;
using namespace quillet::winreg;
using posix::Call;

Q_DECLARE_METATYPE(quillet::posix::Call)

namespace {

const QString kAppKey = QString(kRegistryBaseKey) + kRegistryAppKey;

// Writes bytes with a type of our choosing, as another program could.
LONG WriteRaw(const char* name, DWORD type, const QByteArray& bytes) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyA(HKEY_LOCAL_MACHINE, kAppKey.toLatin1().constData(), &key);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.constData()),
                            DWORD(bytes.size()));
  RegCloseKey(key);
  return status;
}

// Its counter, then a letter the counter chooses over many pages: pages of two writes would
// mix letters or lengths, and a kill often lands mid-transaction.
QByteArray OwnValue(int counter) {
  return QByteArray::number(counter) + QByteArray(400000, char('a' + counter % 26));
}

// Writes OwnValue(0), OwnValue(1)... under "killed" until it is killed.
int WriterChild(const char* store) {
  RegistryStore::SetPath(store);
  for (int i = 0;; ++i) {
    if (WriteRaw("killed", REG_SZ, OwnValue(i))) return 10;
    if (i == 0) std::puts("wrote"), std::fflush(stdout);
  }
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
         file.write(bytes) == bytes.size();
}

// Runs sql on the SQLite file at path, as someone at the sqlite3 prompt could.
bool ExecSql(const QString& path, const char* sql) {
  sqlite3* db = nullptr;
  const bool done = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                                    nullptr) == SQLITE_OK &&
                    sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  return sqlite3_close(db) == SQLITE_OK && done;
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

  QString remembered(const QString& fallback = QString()) {
    return GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, kDBFilenameValue, fallback);
  }
  void remember(const QString& text, const QString& fallback = QString()) {
    SaveRegistryString(HKEY_LOCAL_MACHINE, kAppKey, kDBFilenameValue, text, fallback);
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    store_ = dir_->filePath("Oxtaro/Quillet/registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(store_).toStdString());
  }
  void cleanup() {
    posix::ClearFaults();
    QCOMPARE(registry::OpenKeyHandleCount(), size_t(0));  // every operation closes its keys
  }

  void absentKeyOrValueGivesTheDefault() {
    // Saving the default creates nothing, not even the store.
    remember("");
    remember("same", "same");
    QVERIFY(!RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QCOMPARE(remembered("fallback"), QString("fallback"));
    QVERIFY(!QFile::exists(store_));
    const mode_t oldMask = ::umask(0);  // the store is private whatever the umask
    QCOMPARE(WriteRaw("Other", REG_SZ, "x"), ERROR_SUCCESS);  // now the key, not the value
    ::umask(oldMask);
    QCOMPARE(ModeOf(store_), mode_t(0600));
    QCOMPARE(ModeOf(QFileInfo(store_).path()), mode_t(0700));
    Err().Raise(13, "earlier failure");
    QCOMPARE(remembered("fallback"), QString("fallback"));
    QCOMPARE(Err().Number, 0);  // reading a value switches error handling, which clears it
  }

  void storedValueReads_data() {
    Columns<uint, QByteArray, QString>("type", "stored", "expected");
    QTest::newRow("no terminator") << uint(REG_SZ) << QByteArray("/srv/a.mdb") << "/srv/a.mdb";
    QTest::newRow("terminator, more after it")
        << uint(REG_SZ) << QByteArray("/srv/a.mdb\0x", 12) << "/srv/a.mdb";
    QTest::newRow("empty") << uint(REG_SZ) << QByteArray() << "";
    // A value of another type is there, so it reads as the empty text, not the default.
    QTest::newRow("number") << uint(REG_DWORD) << QByteArray(4, '\x2a') << "";
  }
  void storedValueReads() {
    const auto [type, stored, expected] =
        Fetch<uint, QByteArray, QString>("type", "stored", "expected");
    QCOMPARE(WriteRaw(kDBFilenameValue, type, stored), ERROR_SUCCESS);
    QCOMPARE(remembered("fallback"), expected);
  }

  void savingStoresOrDeletes_data() {
    // fallback: compared exactly, case too
    Columns<QString, QString>("text", "fallback");
    for (auto [row, text, fallback] : {std::tuple{"non-ASCII", "/srv/données/Été 日本.mdb", ""},
                                       {"default in other case", "/SRV/A.MDB", "/srv/a.mdb"},
                                       {"empty, other default", "", "/srv/a.mdb"}})
      QTest::newRow(row) << QString(text) << QString(fallback);
  }
  void savingStoresOrDeletes() {
    const auto [text, fallback] = Fetch<QString, QString>("text", "fallback");
    remember("/srv/older.mdb", fallback);  // creates the missing keys, then is overwritten
    QCOMPARE(WriteRaw("Other", REG_SZ, "stays"), ERROR_SUCCESS);
    remember(text, fallback);
    remember(text, fallback);
    QCOMPARE(remembered(fallback), text);
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, kAppKey, kDBFilenameValue, "none"),
             QString("none"));  // per root
    // Saving the default deletes the one value (no second copy left) and keeps the key.
    remember(fallback, fallback);
    QCOMPARE(remembered("none"), QString("none"));
    QCOMPARE(GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, "Other", ""), QString("stays"));
  }

  void namesIgnoreCase() {
    // One value under every spelling, beyond ASCII too: deleting under one removes it.
    const auto read = [] {
      return GetRegistryString(HKEY_CURRENT_USER, "société\\ÉTÉ", "nÄme", "none");
    };
    SaveRegistryString(HKEY_CURRENT_USER, "Société\\été", "NäME", "/srv/a.mdb", "");
    QCOMPARE(read(), QString("/srv/a.mdb"));
    SaveRegistryString(HKEY_CURRENT_USER, "SOCIÉTÉ\\Été", "NÄME", "", "");
    QCOMPARE(read(), QString("none"));
  }

  // Not writable: the key counts as absent, the value reads, saving or deleting leaves it.
  void readOnlyStoreReadsButKeepsItsValue() {
    remember("/srv/a.mdb");
    posix::InjectFault(Call::kOpen, EACCES, {.path = "registry.sqlite3", .writing = true},
                       posix::kEveryCall);
    posix::InjectFault(Call::kAccess, EACCES, {.path = "registry.sqlite3"}, posix::kEveryCall);
    QVERIFY(!RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QCOMPARE(remembered(), QString("/srv/a.mdb"));
    remember("/srv/b.mdb");
    remember("");
    posix::ClearFaults();
    QCOMPARE(remembered(), QString("/srv/a.mdb"));
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
  }

  // A step of a write that keeps failing: the write says why and leaves what was there,
  // nothing yet or a damaged store (still to be moved aside by the next write).
  void failingStoreCalls_data() {
    // pathEnd: of the path it fails on; before: the store's bytes; none: no store yet
    Columns<Call, QString, int, QByteArray, int>("call", "pathEnd", "error", "before", "status");
    const QByteArray none, damaged(4096, 'x');
    QTest::newRow("looking at the folder")
        << Call::kStat << "Quillet" << EIO << none << int(ERROR_REGISTRY_IO_FAILED);
    QTest::newRow("creating the folder")
        << Call::kMkdir << "Quillet" << EACCES << none << int(ERROR_ACCESS_DENIED);
    QTest::newRow("creating the store")
        << Call::kOpen << "registry.sqlite3" << EROFS << none << int(ERROR_ACCESS_DENIED);
    QTest::newRow("looking at the store")
        << Call::kStat << "registry.sqlite3" << EIO << none << int(ERROR_REGISTRY_IO_FAILED);
    QTest::newRow("locking the folder to move a damaged store")
        << Call::kFlock << "Quillet" << EIO << damaged << int(ERROR_BADDB);
    QTest::newRow("moving a damaged store aside")
        << Call::kRename << "registry.sqlite3" << EBUSY << damaged << int(ERROR_BADDB);
  }
  void failingStoreCalls() {
    const auto [call, pathEnd, error, before, status] =
        Fetch<Call, QString, int, QByteArray, int>("call", "pathEnd", "error", "before", "status");
    if (!before.isNull()) QVERIFY(WriteAll(store_, before));
    posix::InjectFault(call, error, {.path = pathEnd.toStdString()}, posix::kEveryCall);
    QCOMPARE(WriteRaw(kDBFilenameValue, REG_SZ, "/srv/a.mdb"), LONG(status));
    posix::ClearFaults();
    QCOMPARE(remembered("none"), QString("none"));
    if (!before.isNull()) QCOMPARE(ReadAll(store_), before);
    QCOMPARE(QFileInfo(store_).dir().entryList({"*.corrupt-*"}, QDir::Files), QStringList());
    QCOMPARE(WriteRaw(kDBFilenameValue, REG_SZ, "/srv/a.mdb"), ERROR_SUCCESS);
    QCOMPARE(remembered(), QString("/srv/a.mdb"));
  }

  // A size past what an int counts, which the store once narrowed and cut short.
  void valueTooBigForTheStoreIsRefused() {
    const quint64 size = (1ULL << 31) + 10;
    remember("/srv/before.mdb");
    // A mapping never touched costs no memory: only its size is real.
    void* huge =
        ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    QVERIFY(huge != MAP_FAILED);
    const LONG status = WriteRaw(kDBFilenameValue, REG_BINARY,
                                 QByteArray::fromRawData(static_cast<const char*>(huge), size));
    ::munmap(huge, size);
    QCOMPARE(status, ERROR_OUTOFMEMORY);
    QCOMPARE(remembered(), QString("/srv/before.mdb"));
  }

  void writerKilledMidWriteLeavesAReadableStore() {
    for (int round = 0; round < 10; ++round) {
      QProcess writer;
      writer.start(QCoreApplication::applicationFilePath(), {"--writer", store_});
      QVERIFY(writer.waitForReadyRead(20000));  // it has written once
      QTest::qWait(5 + QRandomGenerator::global()->bounded(60));
      writer.kill();  // SIGKILL: no clean-up of any kind
      QVERIFY(writer.waitForFinished(10000));
      const QString own = GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, "killed", "");
      const int counter = QRegularExpression("^\\d+").match(own).captured().toInt();
      QVERIFY2(own.toLatin1() == OwnValue(counter), qPrintable(own.left(20)));
      remember(QString("/srv/after-%1.mdb").arg(round));  // and it takes writes again
      QCOMPARE(remembered(), QString("/srv/after-%1.mdb").arg(round));
    }
  }

  void damagedStoreReadsAsDefaultAndIsMovedAside_data() {
    Columns<QByteArray, bool>("contents", "movedAside");
    // Our store with its SQLite header kept and every page after it wrecked, and one whose
    // table was dropped by hand.
    QTemporaryDir scratch;
    const QString path = scratch.filePath("registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(path).toStdString());
    remember(QString(6000, 'f'));
    QByteArray pages = ReadAll(path);
    for (qsizetype i = 200; i < pages.size(); ++i) pages[i] = char(0xA5 ^ i);
    QTest::newRow("damaged pages") << pages << true;
    QVERIFY(ExecSql(path, "DROP TABLE vals"));
    QTest::newRow("values table dropped") << ReadAll(path) << true;
    QTest::newRow("empty file: an empty store") << QByteArray() << false;
  }
  void damagedStoreReadsAsDefaultAndIsMovedAside() {
    const auto [contents, movedAside] = Fetch<QByteArray, bool>("contents", "movedAside");
    QVERIFY(WriteAll(store_, contents));
    QCOMPARE(remembered("fallback"), QString("fallback"));
    QCOMPARE(ReadAll(store_), contents);  // reading changes nothing
    const mode_t oldMask = ::umask(0);
    remember("/srv/fresh.mdb");
    ::umask(oldMask);
    QCOMPARE(remembered(), QString("/srv/fresh.mdb"));
    const QStringList copies =
        QFileInfo(store_).dir().entryList({"registry.sqlite3.corrupt-*"}, QDir::Files);
    QCOMPARE(copies.size(), movedAside ? 1 : 0);
    if (!movedAside) return;
    QCOMPARE(ReadAll(QFileInfo(store_).dir().filePath(copies[0])), contents);
    QCOMPARE(ModeOf(store_), mode_t(0600));  // the fresh store is private
  }
};

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--writer") == 0) return WriterChild(argv[2]);
  QCoreApplication app(argc, argv);
  RegistryTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "RegistryTest.moc"
