// The store under stress: several processes writing at once, a writer killed mid-write,
// damaged and foreign files in the store's place, and a user who may not write it.
// "Other processes" are this test binary started again with a child argument.

#include <grp.h>
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

#include "common/Registry.h"
#include "platform/registry/RegistryStore.h"
#include "platform/registry/WinReg.h"

using namespace quillet;
using namespace quillet::winreg;

namespace {

constexpr const char* kKey = "SOFTWARE\\Oxtaro\\Utils\\Quillet";
constexpr const char* kValue = "DBFilename";

// --- the child processes -------------------------------------------------------------

LONG WriteText(const char* name, const std::string& text) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyA(HKEY_LOCAL_MACHINE, kKey, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          DWORD(text.size()));
  RegCloseKey(key);
  return status;
}

// Writes "<tag>-<i>" to the shared value and i to a value of its own, count times;
// a count of 0 writes forever. Fails at the first write that does not succeed.
int WriterChild(const char* store, const char* tag, int count) {
  RegistryStore::SetPath(store);
  // The endless writer rewrites a value of many pages, so that a kill often lands while
  // a transaction is half written to the file.
  const size_t paddingSize = count == 0 ? 400000 : 3000;
  for (int i = 0; count == 0 || i < count; ++i) {
    const std::string text = std::string(tag) + "-" + std::to_string(i);
    const std::string padding(paddingSize, count == 0 ? char('a' + i % 26) : 'p');
    if (const LONG status = WriteText(kValue, text); status != ERROR_SUCCESS) {
      std::fprintf(stderr, "write failed: %d\n", int(status));
      return 10;
    }
    if (WriteText(tag, std::to_string(i) + padding) != ERROR_SUCCESS) return 11;
    if (i == 0) {
      std::puts("writing");
      std::fflush(stdout);
    }
  }
  return 0;
}

// Waits at a barrier (until the file go exists) so that every writer meets the store
// in the same state at the same moment, then writes once.
int BarrierWriterChild(const char* store, const char* tag, const char* go) {
  RegistryStore::SetPath(store);
  std::puts("ready");
  std::fflush(stdout);
  while (::access(go, F_OK) != 0) ::usleep(100);
  const LONG status = WriteText(tag, tag);
  if (status != ERROR_SUCCESS) std::fprintf(stderr, "write failed: %d\n", int(status));
  return status == ERROR_SUCCESS ? 0 : 10;
}

// Reports, as a user who may read the store but not write it, what the operations do.
int ReadOnlyUserChild(const char* store) {
  if (geteuid() == 0) {
    const uid_t nobody = 65534;
    if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
        setresuid(nobody, nobody, nobody) != 0) {
      return 2;
    }
  }
  RegistryStore::SetPath(store);
  const QString key = QString::fromLatin1(kKey);
  const QString name = QString::fromLatin1(kValue);
  std::printf("read=%s\n", qPrintable(GetRegistryString(HKEY_LOCAL_MACHINE, key, name, "none")));
  std::printf("exists=%d\n", int(RegistryKeyExists(HKEY_LOCAL_MACHINE, key)));
  SaveRegistryString(HKEY_LOCAL_MACHINE, key, name, "/srv/new.mdb", "");
  SaveRegistryString(HKEY_LOCAL_MACHINE, key, name, "", "");
  std::printf("after=%s\n", qPrintable(GetRegistryString(HKEY_LOCAL_MACHINE, key, name, "none")));
  HKEY handle = nullptr;
  std::printf("open=%d\n", int(RegOpenKeyA(HKEY_LOCAL_MACHINE, kKey, &handle)));
  std::printf("set=%d\n", int(RegSetValueExA(handle, kValue, 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>("x"), 1)));
  RegCloseKey(handle);
  return 0;
}

// --- the parent's checks -------------------------------------------------------------

QString Remembered(const QString& fallback = "none") {
  return GetRegistryString(HKEY_LOCAL_MACHINE, kKey, kValue, fallback);
}

void Remember(const QString& text) {
  SaveRegistryString(HKEY_LOCAL_MACHINE, kKey, kValue, text, "");
}

// The endless writer's large value: its counter, then one letter repeated, the letter
// that counter chose. Pages of two different writes would mix letters or lengths.
bool IsOneWholeWrite(const QString& value) {
  qsizetype digits = 0;
  while (digits < value.size() && value[digits].isDigit()) ++digits;
  if (digits == 0 || value.size() - digits != 400000) return false;
  const QChar letter = QChar(u'a' + value.left(digits).toInt() % 26);
  return value.count(letter) == value.size() - digits;
}

// SQLite's own verdict on the file.
QByteArray IntegrityOf(const QString& path) {
  sqlite3* db = nullptr;
  QByteArray verdict = "cannot open";
  if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                      nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      verdict = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    } else {
      verdict = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return verdict;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
    qFatal("cannot write %s", qPrintable(path));
}

QStringList CorruptCopies(const QString& store) {
  const QFileInfo info(store);
  return QDir(info.path()).entryList({info.fileName() + ".corrupt-*"}, QDir::Files);
}

}  // namespace

class RegistryRobustnessTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString store_;

  std::unique_ptr<QProcess> startChild(const QStringList& arguments) {
    auto child = std::make_unique<QProcess>();
    child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child->start(QCoreApplication::applicationFilePath(), arguments);
    return child;
  }

 private slots:
  // Runs the read-only-user child against the store with the given file mode and its
  // folders open for reading only; as root the child drops to an unprivileged user.
  QByteArray runAsOtherUser(mode_t storeMode) {
    const QString program = QFileInfo(store_).path();
    const QStringList folders = {dir_->path(), QFileInfo(program).path(), program};
    for (const QString& folder : folders) ::chmod(QFile::encodeName(folder).constData(), 0555);
    ::chmod(QFile::encodeName(store_).constData(), storeMode);
    auto child = startChild({"--read-only-user", store_});
    const bool finished = child->waitForFinished(20000);
    for (const QString& folder : folders) ::chmod(QFile::encodeName(folder).constData(), 0700);
    ::chmod(QFile::encodeName(store_).constData(), 0600);
    if (!finished || child->exitCode() != 0) return "child failed";
    return child->readAllStandardOutput();
  }

  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    store_ = dir_->filePath("Oxtaro/Quillet/registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(store_).toStdString());
  }
  void cleanup() { RegistryStore::SetPath({}); }

  void severalProcessesWritingAtOnce() {
    const int writers = 4;
    const int writes = 40;
    std::vector<std::unique_ptr<QProcess>> children;
    for (int n = 0; n < writers; ++n) {
      children.push_back(startChild(
          {"--writer", store_, QString("writer%1").arg(n), QString::number(writes)}));
    }
    for (auto& child : children) {
      QVERIFY(child->waitForFinished(60000));
      QCOMPARE(child->exitStatus(), QProcess::NormalExit);
      QCOMPARE(child->exitCode(), 0);  // every write succeeded
    }
    QCOMPARE(IntegrityOf(store_), QByteArray("ok"));
    // Last write wins: each writer's last text is a candidate, nothing else is.
    const QString last = Remembered();
    QVERIFY2(QRegularExpression("^writer[0-3]-39$").match(last).hasMatch(), qPrintable(last));
    for (int n = 0; n < writers; ++n) {
      const QString own = GetRegistryString(HKEY_LOCAL_MACHINE, kKey, QString("writer%1").arg(n),
                                            "none");
      QVERIFY2(own.startsWith("39p"), qPrintable(own.left(10)));
    }
  }

  void writerKilledMidWriteLeavesAReadableStore() {
    const int kRounds = 12;
    int journalsLeft = 0;
    for (int round = 0; round < kRounds; ++round) {
      auto child = startChild({"--writer", store_, "killed", "0"});
      QVERIFY(child->waitForReadyRead(20000));  // it has written at least once
      QTest::qWait(5 + QRandomGenerator::global()->bounded(60));
      child->kill();  // SIGKILL: no clean-up of any kind
      QVERIFY(child->waitForFinished(10000));
      QCOMPARE(child->exitStatus(), QProcess::CrashExit);
      if (QFile::exists(store_ + "-journal")) ++journalsLeft;

      // The next reader rolls the interrupted write back and finds a whole value.
      const QString text = Remembered();
      QVERIFY2(QRegularExpression("^killed-\\d+$").match(text).hasMatch(), qPrintable(text));
      // The large value is one whole write, not pages of two.
      const QString large = GetRegistryString(HKEY_LOCAL_MACHINE, kKey, "killed", "none");
      QVERIFY2(IsOneWholeWrite(large), qPrintable(large.left(40)));
      QCOMPARE(IntegrityOf(store_), QByteArray("ok"));
      // And the store takes writes again.
      Remember(QString("/srv/after-%1.mdb").arg(round));
      QCOMPARE(Remembered(), QString("/srv/after-%1.mdb").arg(round));
    }
    qInfo("kills that left a journal to roll back: %d of %d", journalsLeft, kRounds);
  }

  void garbageFileReadsAsDefaultAndIsMovedAsideOnWrite() {
    QByteArray garbage(8192, '\0');
    for (int i = 0; i < garbage.size(); ++i) garbage[i] = char(QRandomGenerator::global()->bounded(256));
    garbage.replace(0, 16, "not a database!!");
    WriteAll(store_, garbage);

    QCOMPARE(Remembered("fallback"), QString("fallback"));
    QVERIFY(!RegistryKeyExists(HKEY_LOCAL_MACHINE, kKey));
    QCOMPARE(ReadAll(store_), garbage);  // reads change nothing
    QVERIFY(CorruptCopies(store_).isEmpty());

    Remember("/srv/fresh.mdb");
    QCOMPARE(Remembered(), QString("/srv/fresh.mdb"));
    const QStringList copies = CorruptCopies(store_);
    QCOMPARE(copies.size(), 1);
    QVERIFY2(QRegularExpression("^registry\\.sqlite3\\.corrupt-\\d{8}T\\d{6}Z").match(copies[0])
                 .hasMatch(),
             qPrintable(copies[0]));
    QCOMPARE(ReadAll(QFileInfo(store_).dir().filePath(copies[0])), garbage);
    QCOMPARE(IntegrityOf(store_), QByteArray("ok"));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(store_).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));
  }

  void damagedPagesReadAsDefault() {
    Remember("/srv/before.mdb");
    HKEY key = nullptr;
    QCOMPARE(RegCreateKeyA(HKEY_CURRENT_USER, "Filler", &key), ERROR_SUCCESS);
    const QByteArray filler(6000, 'f');
    QCOMPARE(RegSetValueExA(key, "Blob", 0, REG_BINARY,
                            reinterpret_cast<const BYTE*>(filler.constData()), DWORD(filler.size())),
             ERROR_SUCCESS);
    RegCloseKey(key);
    // Keep SQLite's header (it names the file as ours) and wreck every page after it.
    QByteArray bytes = ReadAll(store_);
    QVERIFY(bytes.size() >= 2 * 4096);
    for (int i = 200; i < bytes.size(); ++i) bytes[i] = char(0xA5 ^ i);
    WriteAll(store_, bytes);

    QCOMPARE(Remembered("fallback"), QString("fallback"));
    QCOMPARE(ReadAll(store_), bytes);
    Remember("/srv/after.mdb");
    QCOMPARE(Remembered(), QString("/srv/after.mdb"));
    QCOMPARE(CorruptCopies(store_).size(), 1);
  }

  void foreignDatabaseIsNeverWrittenInto() {
    QDir().mkpath(QFileInfo(store_).path());
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(store_).constData(), &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db,
                          "CREATE TABLE vals(x); INSERT INTO vals VALUES ('someone else''s');",
                          nullptr, nullptr, nullptr),
             SQLITE_OK);
    sqlite3_close(db);
    const QByteArray foreign = ReadAll(store_);

    QCOMPARE(Remembered("fallback"), QString("fallback"));
    Remember("/srv/ours.mdb");
    QCOMPARE(Remembered(), QString("/srv/ours.mdb"));
    const QStringList copies = CorruptCopies(store_);
    QCOMPARE(copies.size(), 1);
    QCOMPARE(ReadAll(QFileInfo(store_).dir().filePath(copies[0])), foreign);
  }

  void emptyFileIsAnEmptyStore() {
    WriteAll(store_, QByteArray());
    QCOMPARE(Remembered("fallback"), QString("fallback"));
    Remember("/srv/a.mdb");
    QCOMPARE(Remembered(), QString("/srv/a.mdb"));
    QVERIFY(CorruptCopies(store_).isEmpty());
  }

  void folderInTheStoresPlaceIsLeftAlone() {
    QVERIFY(QDir().mkpath(store_));
    QCOMPARE(Remembered("fallback"), QString("fallback"));
    Remember("/srv/a.mdb");
    QCOMPARE(Remembered("fallback"), QString("fallback"));
    QVERIFY(QFileInfo(store_).isDir());
    QVERIFY(CorruptCopies(store_).isEmpty());
  }

  void damagedStoreMetByManyWritersIsMovedOnce() {
    WriteAll(store_, QByteArray(4096, 'G'));
    const QString go = dir_->filePath("go");
    const int writers = 6;
    std::vector<std::unique_ptr<QProcess>> children;
    for (int n = 0; n < writers; ++n) {
      children.push_back(startChild({"--barrier-writer", store_, QString("w%1").arg(n), go}));
    }
    for (auto& child : children) QVERIFY(child->waitForReadyRead(20000));
    WriteAll(go, "go");
    for (auto& child : children) {
      QVERIFY(child->waitForFinished(60000));
      QCOMPARE(child->exitCode(), 0);
    }
    // One copy of the damaged file, and no writer's fresh store moved away after it:
    // every value written is there.
    QCOMPARE(CorruptCopies(store_).size(), 1);
    for (int n = 0; n < writers; ++n) {
      const QString name = QString("w%1").arg(n);
      QCOMPARE(GetRegistryString(HKEY_LOCAL_MACHINE, kKey, name, "none"), name);
    }
  }

  void userWhoMayNotWrite() {
    Remember("/srv/old.mdb");
    // Readable by everyone, writable by no one but root.
    const QByteArray report = runAsOtherUser(0444);
    QVERIFY2(report.contains("read=/srv/old.mdb\n"), report.constData());
    // A key that cannot be opened with full access counts as absent.
    QVERIFY2(report.contains("exists=0\n"), report.constData());
    QVERIFY2(report.contains("after=/srv/old.mdb\n"), report.constData());
    QVERIFY2(report.contains("open=0\n"), report.constData());
    QVERIFY2(report.contains(QString("set=%1\n").arg(ERROR_ACCESS_DENIED).toLatin1()),
             report.constData());
    QCOMPARE(Remembered(), QString("/srv/old.mdb"));
  }

  void userWhoMayNotReadGetsTheDefault() {
    Remember("/srv/old.mdb");
    const QByteArray report = runAsOtherUser(0);
    QVERIFY2(report.contains("read=none\n"), report.constData());
    QVERIFY2(report.contains("exists=0\n"), report.constData());
    QVERIFY2(report.contains("after=none\n"), report.constData());
    // Unreadable is not damaged: the file stays where it is, whole.
    QVERIFY(CorruptCopies(store_).isEmpty());
    QCOMPARE(Remembered(), QString("/srv/old.mdb"));
  }
};

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--writer") == 0) {
    return WriterChild(argv[2], argv[3], std::atoi(argv[4]));
  }
  if (argc == 5 && std::strcmp(argv[1], "--barrier-writer") == 0) {
    return BarrierWriterChild(argv[2], argv[3], argv[4]);
  }
  if (argc == 3 && std::strcmp(argv[1], "--read-only-user") == 0) {
    return ReadOnlyUserChild(argv[2]);
  }
  QCoreApplication app(argc, argv);
  RegistryRobustnessTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "RegistryRobustnessTest.moc"
