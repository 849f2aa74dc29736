// The remembered-setting operations over the real store, kept in a temporary folder.

#include <sqlite3.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

#include "common/GeneralConstants.h"
#include "common/Registry.h"
#include "platform/ErrObject.h"
#include "platform/registry/KeyHandles.h"
#include "platform/registry/RegistryStore.h"

using namespace quillet;
using namespace quillet::winreg;

namespace {

const QString kAppKey = QString(kRegistryBaseKey) + kRegistryAppKey;
const QString kValue = QString(kDBFilenameValue);

// Writes raw bytes with a type of our choosing, as another program could.
LONG WriteRaw(HKEY root, const char* keyPath, const char* name, DWORD type,
              const QByteArray& bytes) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyA(root, keyPath, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.constData()),
                          DWORD(bytes.size()));
  RegCloseKey(key);
  return status;
}

// The stored bytes of a value, read through the registry functions; empty and status
// set when it cannot be read.
QByteArray ReadRaw(HKEY root, const char* keyPath, const char* name, LONG* status,
                   DWORD* type = nullptr) {
  HKEY key = nullptr;
  *status = RegOpenKeyExA(root, keyPath, 0, KEY_READ, &key);
  if (*status != ERROR_SUCCESS) return {};
  DWORD size = 0;
  DWORD storedType = 0;
  *status = RegQueryValueExA(key, name, nullptr, &storedType, nullptr, &size);
  QByteArray bytes(size, '\0');
  if (*status == ERROR_SUCCESS) {
    *status = RegQueryValueExA(key, name, nullptr, &storedType,
                               reinterpret_cast<LPBYTE>(bytes.data()), &size);
  }
  RegCloseKey(key);
  if (type != nullptr) *type = storedType;
  return bytes;
}

bool KeyOpens(HKEY root, const char* keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Rows in the store's value table, counted with SQLite itself.
int StoredValueCount(const QString& storePath) {
  sqlite3* db = nullptr;
  int count = -1;
  if (sqlite3_open_v2(QFile::encodeName(storePath).constData(), &db, SQLITE_OPEN_READONLY,
                      nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM vals", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      count = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return count;
}

}  // namespace

class RegistryTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString store_;
  size_t handlesBefore_ = 0;

  QString remembered(const QString& fallback = QString()) {
    return GetRegistryString(HKEY_LOCAL_MACHINE, kAppKey, kValue, fallback);
  }
  void remember(const QString& text, const QString& fallback = QString()) {
    SaveRegistryString(HKEY_LOCAL_MACHINE, kAppKey, kValue, text, fallback);
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

  void firstRunGivesTheDefault() {
    QCOMPARE(remembered(""), QString(""));
    QCOMPARE(remembered("fallback"), QString("fallback"));
    QVERIFY(!RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    // Reading never creates the store.
    QVERIFY(!QFile::exists(store_));
  }

  void keyWithoutTheValueGivesTheDefault() {
    HKEY key = nullptr;
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), &key), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QCOMPARE(remembered("fallback"), QString("fallback"));
    // cleanup() checks that the key opened for the read was closed again.
  }

  void otherTypeReadsAsEmptyText() {
    const quint32 number = 42;
    QCOMPARE(WriteRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue, REG_DWORD,
                      QByteArray(reinterpret_cast<const char*>(&number), sizeof number)),
             ERROR_SUCCESS);
    const QString text = remembered("fallback");
    QVERIFY(text.isEmpty());
    QCOMPARE(WriteRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue, REG_EXPAND_SZ,
                      "/srv/%USER%.mdb"),
             ERROR_SUCCESS);
    QVERIFY(remembered("fallback").isEmpty());
  }

  void storedTextReadsUpToItsFirstNul_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no terminator") << QByteArray("/srv/a.mdb") << "/srv/a.mdb";
    QTest::newRow("terminator") << QByteArray("/srv/a.mdb", 11) << "/srv/a.mdb";
    QTest::newRow("two terminators") << QByteArray("/srv/a.mdb\0\0", 12) << "/srv/a.mdb";
    QTest::newRow("NUL inside") << QByteArray("/srv/a.mdb\0old tail", 19) << "/srv/a.mdb";
    QTest::newRow("NUL first") << QByteArray("\0rest", 5) << "";
    QTest::newRow("empty") << QByteArray() << "";
  }
  void storedTextReadsUpToItsFirstNul() {
    QFETCH(QByteArray, stored);
    QFETCH(QString, expected);
    QCOMPARE(WriteRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue, REG_SZ, stored),
             ERROR_SUCCESS);
    QCOMPARE(remembered("fallback"), expected);
  }

  void savingWritesTheTextWithoutTerminator() {
    remember("/srv/data/sales.mdb");
    LONG status = -1;
    DWORD type = 0;
    const QByteArray raw =
        ReadRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue, &status, &type);
    QCOMPARE(status, ERROR_SUCCESS);
    QCOMPARE(type, REG_SZ);
    QCOMPARE(raw, QByteArray("/srv/data/sales.mdb"));
    QCOMPARE(remembered(), QString("/srv/data/sales.mdb"));
  }

  void savingCreatesTheMissingKeys() {
    QVERIFY(!KeyOpens(HKEY_LOCAL_MACHINE, "SOFTWARE"));
    remember("/srv/a.mdb");
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QVERIFY(KeyOpens(HKEY_LOCAL_MACHINE, "SOFTWARE\\Oxtaro"));
    QCOMPARE(remembered(), QString("/srv/a.mdb"));
  }

  void savingTwiceLeavesOneValue() {
    remember("/srv/a.mdb");
    remember("/srv/a.mdb");
    QCOMPARE(StoredValueCount(store_), 1);
    remember("/srv/b.mdb");
    QCOMPARE(StoredValueCount(store_), 1);
    QCOMPARE(remembered(), QString("/srv/b.mdb"));
  }

  void savingTheDefaultDeletesTheValueAndKeepsTheKey() {
    remember("/srv/a.mdb");
    QCOMPARE(WriteRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), "Other", REG_SZ, "stays"),
             ERROR_SUCCESS);
    remember("");
    LONG status = -1;
    ReadRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue, &status);
    QCOMPARE(status, ERROR_FILE_NOT_FOUND);
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QCOMPARE(ReadRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), "Other", &status),
             QByteArray("stays"));
    QCOMPARE(remembered("fallback"), QString("fallback"));
    // Deleting what is already gone is harmless.
    remember("");
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
  }

  void savingTheDefaultWithoutTheKeyCreatesNothing() {
    remember("");
    remember("same", "same");
    QVERIFY(!RegistryKeyExists(HKEY_LOCAL_MACHINE, kAppKey));
    QVERIFY(!KeyOpens(HKEY_LOCAL_MACHINE, "SOFTWARE"));
    QVERIFY(!QFile::exists(store_));
  }

  void theDefaultIsComparedExactly() {
    // Differs from the default in case only: stored, not deleted.
    remember("/SRV/A.MDB", "/srv/a.mdb");
    QCOMPARE(remembered("/srv/a.mdb"), QString("/SRV/A.MDB"));
    // An empty text is a value of its own when the default is not empty.
    remember("", "/srv/a.mdb");
    LONG status = -1;
    ReadRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue, &status);
    QCOMPARE(status, ERROR_SUCCESS);
    QCOMPARE(remembered("/srv/a.mdb"), QString(""));
  }

  void namesIgnoreCase() {
    SaveRegistryString(HKEY_LOCAL_MACHINE, "software\\OXTARO\\utils\\qUILLET", "dbfilename",
                       "/srv/a.mdb", "");
    QCOMPARE(remembered(), QString("/srv/a.mdb"));
    QVERIFY(RegistryKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\oxtaro\\UTILS\\Quillet"));
    // The same value, not a second one beside it.
    remember("/srv/b.mdb");
    QCOMPARE(StoredValueCount(store_), 1);
    QCOMPARE(GetRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\OXTARO\\UTILS\\QUILLET",
                               "DBFILENAME", ""),
             QString("/srv/b.mdb"));

    // Beyond ASCII, by Unicode case folding.
    SaveRegistryString(HKEY_CURRENT_USER, "Société\\ÉTÉ", "Größe", "value", "");
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, "SOCIÉTÉ\\été", "GRÖSSE", "none"),
             QString("none"));  // ß is not SS under simple folding: a different name
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, "SOCIÉTÉ\\été", "GRÖßE", "none"),
             QString("value"));
  }

  void rootsAreSeparateTrees() {
    remember("/srv/machine.mdb");
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, kAppKey, kValue, "none"), QString("none"));
    QVERIFY(!RegistryKeyExists(HKEY_CURRENT_USER, kAppKey));
    SaveRegistryString(HKEY_CURRENT_USER, kAppKey, kValue, "/home/ann/user.mdb", "");
    QCOMPARE(remembered(), QString("/srv/machine.mdb"));
    QCOMPARE(GetRegistryString(HKEY_CURRENT_USER, kAppKey, kValue, ""),
             QString("/home/ann/user.mdb"));
    // Deleting in one root leaves the other alone.
    SaveRegistryString(HKEY_CURRENT_USER, kAppKey, kValue, "", "");
    QCOMPARE(remembered(), QString("/srv/machine.mdb"));
  }

  void nonAsciiPathIsStoredWhole() {
    const QString path = QString::fromUtf8("/srv/données/Société ß 日本 \xF0\x9F\x93\x81.mdb");
    remember(path);
    QCOMPARE(remembered(), path);
    LONG status = -1;
    const QByteArray raw = ReadRaw(HKEY_LOCAL_MACHINE, qPrintable(kAppKey), kDBFilenameValue,
                                   &status);
    QCOMPARE(status, ERROR_SUCCESS);
    QCOMPARE(raw, path.toUtf8());
    QVERIFY(raw.size() > path.size());  // bytes, not characters
  }

  void queryStringValueFillsOnlyOnSuccess() {
    QCOMPARE(WriteRaw(HKEY_LOCAL_MACHINE, "Test", "Number", REG_DWORD, QByteArray(4, '\1')),
             ERROR_SUCCESS);
    QCOMPARE(WriteRaw(HKEY_LOCAL_MACHINE, "Test", "Text", REG_SZ, "abc"), ERROR_SUCCESS);
    HKEY key = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Test", &key), ERROR_SUCCESS);

    QString text = "untouched";
    Err().Raise(13, "earlier failure");
    QCOMPARE(QueryStringValue(key, "Missing", text), ERROR_FILE_NOT_FOUND);
    QCOMPARE(text, QString("untouched"));
    QCOMPARE(Err().Number, 0);  // switching error handling clears it

    QCOMPARE(QueryStringValue(key, "Number", text), ERROR_SUCCESS);
    QCOMPARE(text, QString("untouched"));

    QCOMPARE(QueryStringValue(key, "text", text), ERROR_SUCCESS);
    QCOMPARE(text, QString("abc"));
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);

    QCOMPARE(QueryStringValue(key, "text", text), ERROR_INVALID_HANDLE);
  }

  void trimAtNull_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << "abc" << "abc";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("at the end") << QString("abc") + QChar(u'\0') << "abc";
    QTest::newRow("inside") << QString("ab") + QChar(u'\0') + "cd" + QChar(u'\0') << "ab";
    QTest::newRow("first") << QString(QChar(u'\0')) + "abc" << "";
  }
  void trimAtNull() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(TrimAtNull(text), expected);
  }
};

QTEST_GUILESS_MAIN(RegistryTest)
#include "RegistryTest.moc"
