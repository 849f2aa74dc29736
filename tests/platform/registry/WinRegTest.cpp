// The registry functions' Win32 meanings, over the real store in a temporary folder.

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

#include "platform/registry/KeyHandles.h"
#include "platform/registry/RegistryStore.h"
#include "platform/registry/WinReg.h"

using namespace quillet;
using namespace quillet::winreg;

namespace {

LONG Set(HKEY key, const char* name, DWORD type, const QByteArray& bytes) {
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.constData()),
                        DWORD(bytes.size()));
}

// The two-call read: size first, then the data.
QByteArray Get(HKEY key, const char* name, LONG* status, DWORD* type = nullptr) {
  DWORD size = 0;
  DWORD storedType = REG_NONE;
  *status = RegQueryValueExA(key, name, nullptr, &storedType, nullptr, &size);
  if (*status != ERROR_SUCCESS) return {};
  QByteArray bytes(size, '\0');
  *status = RegQueryValueExA(key, name, nullptr, &storedType,
                             reinterpret_cast<LPBYTE>(bytes.data()), &size);
  if (type != nullptr) *type = storedType;
  bytes.truncate(size);
  return bytes;
}

mode_t ModeOf(const QString& path) {
  struct stat info;
  if (::stat(QFile::encodeName(path).constData(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

}  // namespace

class WinRegTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString store_;
  size_t handlesBefore_ = 0;

  HKEY create(HKEY root, const char* path) {
    HKEY key = nullptr;
    const LONG status = RegCreateKeyA(root, path, &key);
    if (status != ERROR_SUCCESS) qWarning("RegCreateKeyA(%s) = %d", path, int(status));
    return key;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    store_ = dir_->filePath("registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(store_).toStdString());
    handlesBefore_ = registry::OpenKeyHandleCount();
  }
  void cleanup() {
    QCOMPARE(registry::OpenKeyHandleCount(), handlesBefore_);
    RegistryStore::SetPath({});
  }

  void twoCallSizeProtocol() {
    HKEY key = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test");
    QVERIFY(key != nullptr);
    QCOMPARE(Set(key, "Path", REG_SZ, "hello world"), ERROR_SUCCESS);

    // No buffer: a size query.
    DWORD type = 0;
    DWORD size = 0;
    QCOMPARE(RegQueryValueExA(key, "Path", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    QCOMPARE(type, REG_SZ);
    QCOMPARE(size, DWORD(11));

    // Too small: ERROR_MORE_DATA and the size needed.
    char small[4] = {'-', '-', '-', '-'};
    size = sizeof small;
    QCOMPARE(RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<LPBYTE>(small),
                              &size),
             ERROR_MORE_DATA);
    QCOMPARE(size, DWORD(11));

    // Exactly right, and larger than needed: the data and its true size.
    QByteArray exact(11, '-');
    size = 11;
    QCOMPARE(RegQueryValueExA(key, "Path", nullptr, &type,
                              reinterpret_cast<LPBYTE>(exact.data()), &size),
             ERROR_SUCCESS);
    QCOMPARE(exact, QByteArray("hello world"));
    QByteArray large(64, '-');
    size = 64;
    QCOMPARE(RegQueryValueExA(key, "Path", nullptr, nullptr,
                              reinterpret_cast<LPBYTE>(large.data()), &size),
             ERROR_SUCCESS);
    QCOMPARE(size, DWORD(11));
    QCOMPARE(large.left(12), QByteArray("hello world-"));

    // Type only, no size at all.
    type = 0;
    QCOMPARE(RegQueryValueExA(key, "Path", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    QCOMPARE(type, REG_SZ);

    // Misuse is refused.
    QCOMPARE(RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<LPBYTE>(small),
                              nullptr),
             ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    QCOMPARE(RegQueryValueExA(key, "Path", &reserved, &type, nullptr, &size),
             ERROR_INVALID_PARAMETER);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
  }

  void typedValuesKeepTypeAndBytes() {
    HKEY key = create(HKEY_CURRENT_USER, "Types");
    const quint32 number = 0xDEADBEEF;
    const QByteArray dword(reinterpret_cast<const char*>(&number), sizeof number);
    const QByteArray binary("\0\1\2\0\377", 5);
    QCOMPARE(Set(key, "Number", REG_DWORD, dword), ERROR_SUCCESS);
    QCOMPARE(Set(key, "Binary", REG_BINARY, binary), ERROR_SUCCESS);
    QCOMPARE(Set(key, "Empty", REG_SZ, QByteArray()), ERROR_SUCCESS);
    QCOMPARE(Set(key, nullptr, REG_SZ, "default value"), ERROR_SUCCESS);

    LONG status = -1;
    DWORD type = 0;
    QCOMPARE(Get(key, "Number", &status, &type), dword);
    QCOMPARE(type, REG_DWORD);
    QCOMPARE(Get(key, "Binary", &status, &type), binary);
    QCOMPARE(type, REG_BINARY);
    QCOMPARE(Get(key, "Empty", &status, &type), QByteArray());
    QCOMPARE(status, ERROR_SUCCESS);
    // The unnamed value answers to both a null and an empty name.
    QCOMPARE(Get(key, "", &status), QByteArray("default value"));

    // A value may change its type.
    QCOMPARE(Set(key, "Number", REG_SZ, "now text"), ERROR_SUCCESS);
    QCOMPARE(Get(key, "Number", &status, &type), QByteArray("now text"));
    QCOMPARE(type, REG_SZ);

    Get(key, "Missing", &status);
    QCOMPARE(status, ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegDeleteValueA(key, "Missing"), ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegDeleteValueA(key, "Binary"), ERROR_SUCCESS);
    Get(key, "Binary", &status);
    QCOMPARE(status, ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegSetValueExA(key, "Bad", 0, REG_SZ, nullptr, 3), ERROR_INVALID_PARAMETER);
    QCOMPARE(RegSetValueExA(key, "Bad", 1, REG_SZ, reinterpret_cast<const BYTE*>("x"), 1),
             ERROR_INVALID_PARAMETER);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
  }

  void handlesMustBeValidAndClosedOnce() {
    HKEY first = create(HKEY_LOCAL_MACHINE, "A");
    HKEY second = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &second), ERROR_SUCCESS);
    QVERIFY(first != nullptr && second != nullptr && first != second);
    QCOMPARE(registry::OpenKeyHandleCount(), handlesBefore_ + 2);

    // Two handles of one key see each other's writes.
    QCOMPARE(Set(first, "V", REG_SZ, "one"), ERROR_SUCCESS);
    LONG status = -1;
    QCOMPARE(Get(second, "V", &status), QByteArray("one"));

    QCOMPARE(RegCloseKey(first), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(first), ERROR_INVALID_HANDLE);
    QCOMPARE(Set(first, "V", REG_SZ, "two"), ERROR_INVALID_HANDLE);
    Get(first, "V", &status);
    QCOMPARE(status, ERROR_INVALID_HANDLE);
    // A handle opened later never takes the closed one's value.
    HKEY third = create(HKEY_LOCAL_MACHINE, "B");
    QVERIFY(third != first);
    QCOMPARE(RegCloseKey(third), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(second), ERROR_SUCCESS);

    QCOMPARE(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    QCOMPARE(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x12345678))), ERROR_INVALID_HANDLE);
    HKEY out = nullptr;
    QCOMPARE(RegOpenKeyA(reinterpret_cast<HKEY>(uintptr_t(0x777)), "A", &out),
             ERROR_INVALID_HANDLE);
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", nullptr), ERROR_INVALID_PARAMETER);
    // The predefined roots are always open; closing one does nothing.
    QCOMPARE(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &out), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(out), ERROR_SUCCESS);
  }

  void openingWithoutSubkeyGivesTheSameHandle() {
    HKEY key = create(HKEY_LOCAL_MACHINE, "Same");
    HKEY again = nullptr;
    QCOMPARE(RegOpenKeyA(key, "", &again), ERROR_SUCCESS);
    QCOMPARE(again, key);
    QCOMPARE(RegOpenKeyA(key, nullptr, &again), ERROR_SUCCESS);
    QCOMPARE(again, key);
    QCOMPARE(RegCreateKeyA(key, "", &again), ERROR_SUCCESS);
    QCOMPARE(again, key);
    QCOMPARE(RegOpenKeyA(HKEY_CURRENT_USER, "", &again), ERROR_SUCCESS);
    QCOMPARE(again, HKEY_CURRENT_USER);
    // The Ex form opens a new handle to the same key.
    QCOMPARE(RegOpenKeyExA(key, "", 0, KEY_READ, &again), ERROR_SUCCESS);
    QVERIFY(again != key);
    QCOMPARE(RegCloseKey(again), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
  }

  void keyPathsHaveLevels() {
    HKEY deep = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Oxtaro\\Utils\\Quillet");
    QVERIFY(deep != nullptr);
    QCOMPARE(RegCloseKey(deep), ERROR_SUCCESS);

    // Every level above exists, and opens relative to an open key.
    HKEY software = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", &software), ERROR_SUCCESS);
    HKEY utils = nullptr;
    QCOMPARE(RegOpenKeyExA(software, "oxtaro\\utils", 0, KEY_ALL_ACCESS, &utils), ERROR_SUCCESS);
    HKEY quillet = create(utils, "Quillet");
    QCOMPARE(Set(quillet, "DBFilename", REG_SZ, "/srv/x.mdb"), ERROR_SUCCESS);
    HKEY viaRoot = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Oxtaro\\Utils\\Quillet\\", &viaRoot),
             ERROR_SUCCESS);
    LONG status = -1;
    QCOMPARE(Get(viaRoot, "DBFILENAME", &status), QByteArray("/srv/x.mdb"));
    for (HKEY key : {software, utils, quillet, viaRoot}) QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);

    // A level is not a prefix of a name.
    HKEY out = reinterpret_cast<HKEY>(uintptr_t(1));
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFT", &out), ERROR_FILE_NOT_FOUND);
    QCOMPARE(out, HKEY(nullptr));
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Oxtaro\\Utils\\Quillet\\Nope", &out),
             ERROR_FILE_NOT_FOUND);

    // Malformed paths.
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "\\Leading", &out), ERROR_BAD_PATHNAME);
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Double\\\\Separator", &out), ERROR_BAD_PATHNAME);
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, QByteArray(256, 'k').constData(), &out),
             ERROR_INVALID_PARAMETER);
    HKEY longest = create(HKEY_LOCAL_MACHINE, QByteArray(255, 'k').constData());
    QVERIFY(longest != nullptr);
    QCOMPARE(RegCloseKey(longest), ERROR_SUCCESS);
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Leading", &out), ERROR_FILE_NOT_FOUND);
  }

  void namesIgnoreCase() {
    HKEY key = create(HKEY_LOCAL_MACHINE, "Ärger\\ÉCOLE\\Ωmega");
    QCOMPARE(Set(key, "NäME", REG_SZ, "first"), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
    HKEY same = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "äRGER\\école\\ωMEGA", &same), ERROR_SUCCESS);
    QCOMPARE(Set(same, "nÄme", REG_SZ, "second"), ERROR_SUCCESS);
    LONG status = -1;
    QCOMPARE(Get(same, "NÄME", &status), QByteArray("second"));
    QCOMPARE(RegCloseKey(same), ERROR_SUCCESS);

    // Names that are not UTF-8 compare as bytes, their ASCII letters without case.
    HKEY bytes = create(HKEY_LOCAL_MACHINE, "Bytes");
    QCOMPARE(Set(bytes, "A\xC4", REG_SZ, "upper latin1"), ERROR_SUCCESS);
    QCOMPARE(Set(bytes, "A\xE4", REG_SZ, "lower latin1"), ERROR_SUCCESS);
    QCOMPARE(Get(bytes, "a\xC4", &status), QByteArray("upper latin1"));
    QCOMPARE(Get(bytes, "A\xE4", &status), QByteArray("lower latin1"));
    QCOMPARE(RegCloseKey(bytes), ERROR_SUCCESS);
  }

  void rootsAreSeparateTrees() {
    HKEY machine = create(HKEY_LOCAL_MACHINE, "Shared\\Name");
    QCOMPARE(Set(machine, "V", REG_SZ, "machine"), ERROR_SUCCESS);
    HKEY out = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_CURRENT_USER, "Shared\\Name", &out), ERROR_FILE_NOT_FOUND);
    HKEY user = create(HKEY_CURRENT_USER, "Shared\\Name");
    LONG status = -1;
    Get(user, "V", &status);
    QCOMPARE(status, ERROR_FILE_NOT_FOUND);
    QCOMPARE(Set(user, "V", REG_SZ, "user"), ERROR_SUCCESS);
    QCOMPARE(Get(machine, "V", &status), QByteArray("machine"));
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_CONFIG}) {
      QCOMPARE(RegOpenKeyA(root, "Shared", &out), ERROR_FILE_NOT_FOUND);
    }
    QCOMPARE(RegCloseKey(machine), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(user), ERROR_SUCCESS);
  }

  void accessAskedForIsEnforced() {
    HKEY full = create(HKEY_LOCAL_MACHINE, "Rights");
    QCOMPARE(Set(full, "V", REG_SZ, "kept"), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(full), ERROR_SUCCESS);

    HKEY reader = nullptr;
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rights", 0, KEY_READ, &reader), ERROR_SUCCESS);
    QCOMPARE(Set(reader, "V", REG_SZ, "changed"), ERROR_ACCESS_DENIED);
    QCOMPARE(RegDeleteValueA(reader, "V"), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    QCOMPARE(RegCreateKeyA(reader, "Child", &child), ERROR_ACCESS_DENIED);
    LONG status = -1;
    QCOMPARE(Get(reader, "V", &status), QByteArray("kept"));
    QCOMPARE(RegCloseKey(reader), ERROR_SUCCESS);

    HKEY writer = nullptr;
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rights", 0, KEY_WRITE, &writer), ERROR_SUCCESS);
    Get(writer, "V", &status);
    QCOMPARE(status, ERROR_ACCESS_DENIED);
    QCOMPARE(Set(writer, "V", REG_SZ, "written"), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(writer), ERROR_SUCCESS);
  }

  void readingNeverCreatesTheStore() {
    HKEY out = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", &out), ERROR_FILE_NOT_FOUND);
    LONG status = -1;
    Get(HKEY_LOCAL_MACHINE, "V", &status);
    QCOMPARE(status, ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegDeleteValueA(HKEY_LOCAL_MACHINE, "V"), ERROR_FILE_NOT_FOUND);
    QVERIFY(!QFile::exists(store_));
  }

  void storeLocationIsChosenInCode() {
    HKEY inFirst = create(HKEY_LOCAL_MACHINE, "Where");
    QVERIFY(inFirst != nullptr);

    const QString second = dir_->filePath("second/registry.sqlite3");
    RegistryStore::SetPath(QFile::encodeName(second).toStdString());
    QCOMPARE(RegistryStore::Path(), QFile::encodeName(second).toStdString());
    HKEY out = nullptr;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Where", &out), ERROR_FILE_NOT_FOUND);
    // A key opened before the change stays in the store it was opened in.
    QCOMPARE(Set(inFirst, "V", REG_SZ, "first"), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(inFirst), ERROR_SUCCESS);
    QVERIFY(!QFile::exists(second));

    RegistryStore::SetPath(QFile::encodeName(store_).toStdString());
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Where", &out), ERROR_SUCCESS);
    LONG status = -1;
    QCOMPARE(Get(out, "V", &status), QByteArray("first"));
    QCOMPARE(RegCloseKey(out), ERROR_SUCCESS);
  }

  void defaultLocationFollowsTheXdgConfigFolder() {
    const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    const QString config = dir_->filePath("config home");
    const QString home = dir_->filePath("home");

    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    QCOMPARE(QString::fromStdString(RegistryStore::DefaultPath()),
             config + "/Oxtaro/Quillet/registry.sqlite3");
    // A relative XDG_CONFIG_HOME does not count; neither does an empty one.
    qputenv("HOME", QFile::encodeName(home));
    for (const QByteArray& ignored : {QByteArray("relative/config"), QByteArray()}) {
      qputenv("XDG_CONFIG_HOME", ignored);
      QCOMPARE(QString::fromStdString(RegistryStore::DefaultPath()),
               home + "/.config/Oxtaro/Quillet/registry.sqlite3");
    }

    // With no location set, the functions use the default, creating its folders
    // private to the user and the file readable by its owner only.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    RegistryStore::SetPath({});
    HKEY key = create(HKEY_LOCAL_MACHINE, "Default");
    QCOMPARE(Set(key, "V", REG_SZ, "x"), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);

    const QString created = config + "/Oxtaro/Quillet/registry.sqlite3";
    const mode_t fileMode = ModeOf(created);
    const mode_t vendorMode = ModeOf(config + "/Oxtaro");
    const mode_t programMode = ModeOf(config + "/Oxtaro/Quillet");
    qputenv("XDG_CONFIG_HOME", savedXdg);
    qputenv("HOME", savedHome);
    if (savedXdg.isNull()) qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(fileMode, mode_t(0600));
    QCOMPARE(vendorMode, mode_t(0700));
    QCOMPARE(programMode, mode_t(0700));
  }

  void permissionsIgnoreTheUmask() {
    const mode_t old = ::umask(0);
    HKEY key = create(HKEY_LOCAL_MACHINE, "Open");
    ::umask(old);
    QCOMPARE(Set(key, "V", REG_SZ, "x"), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
    QCOMPARE(ModeOf(store_), mode_t(0600));
  }

  void largeValueRoundTrip() {
    HKEY key = create(HKEY_LOCAL_MACHINE, "Large");
    QByteArray big(4 * 1024 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i) big[i] = char(i * 7);
    QCOMPARE(Set(key, "Big", REG_BINARY, big), ERROR_SUCCESS);
    LONG status = -1;
    QCOMPARE(Get(key, "Big", &status), big);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
  }
};

QTEST_GUILESS_MAIN(WinRegTest)
#include "WinRegTest.moc"
