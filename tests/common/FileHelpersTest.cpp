// GetFileLength and StripExtension against real files, folders, FIFOs, sockets and
// links in a temporary folder.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <grp.h>

#include "common/FileHelpers.h"
#include "platform/ErrObject.h"
#include "platform/FileSystem.h"

using namespace quillet;

namespace {

constexpr const char* kChildArgument = "--length-as-nobody";

QByteArray Bytes(const QString& path) { return QFile::encodeName(path); }

QString MakeFile(const QString& dir, const QString& name, qint64 size) {
  const QString path = QDir(dir).filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(size, 'x')) != size) {
    qFatal("cannot create %s", qPrintable(path));
  }
  return path;
}

// The other side of the permission test: a process of an unprivileged user asking for
// the length of a file it may not reach.
int LengthAsNobody(const char* path) {
  if (geteuid() == 0) {
    const uid_t nobody = 65534;
    if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
        setresuid(nobody, nobody, nobody) != 0) {
      return 2;
    }
  }
  std::printf("%.0f\n", GetFileLength(QFile::decodeName(path)));
  return Err().Number == 0 ? 0 : 3;
}

}  // namespace

class FileHelpersTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

  QString pathOf(const QString& name) const { return dir_.filePath(name); }

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void stripExtension_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("backslash path") << "D:\\Data\\Sales.mdb" << "D:\\Data\\Sales";
    QTest::newRow("dot only in a folder") << "D:\\Data.2024\\Sales" << "D:\\Data.2024\\Sales";
    QTest::newRow("dot only in a Linux folder") << "/srv/data.2024/Sales" << "/srv/data.2024/Sales";
    QTest::newRow("last extension only") << "archive.tar.gz" << "archive.tar";
    QTest::newRow("trailing dot") << "Sales." << "Sales";
    QTest::newRow("dot first") << ".mdb" << "";
    QTest::newRow("hidden name") << "D:\\Data\\.hidden" << "D:\\Data\\";
    QTest::newRow("hidden Linux name") << "/home/ann/.hidden" << "/home/ann/";
    QTest::newRow("forward slashes") << "C:/Data/Sales.mdb" << "C:/Data/Sales";
    QTest::newRow("mixed separators") << "C:/Data.1\\Sales" << "C:/Data.1\\Sales";
    QTest::newRow("no dot, no separator") << "Sales" << "Sales";
    QTest::newRow("trailing separator") << "/srv/data.d/" << "/srv/data.d/";
    QTest::newRow("lone dot") << "." << "";
    QTest::newRow("non-ASCII name") << "/srv/Société/Été.mdb" << "/srv/Société/Été";
    QTest::newRow("empty") << "" << "";
  }
  void stripExtension() {
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(StripExtension(path), expected);
  }

  void lengthOfRegularFiles_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty file") << "empty.mdb" << qint64(0);
    QTest::newRow("1000 bytes") << "thousand.mdb" << qint64(1000);
    QTest::newRow("spaces in the path") << "my data base.mdb" << qint64(4096);
    QTest::newRow("non-ASCII name") << "Société été 日本.mdb" << qint64(77);
  }
  void lengthOfRegularFiles() {
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QDir(dir_.path()).mkpath("folder with spaces");
    const QString path = MakeFile(pathOf("folder with spaces"), name, size);
    QCOMPARE(GetFileLength(path), double(size));
  }

  void lengthBeyondTwoGiB() {
    // Sparse: 3.5 GiB of length, hardly any disk space.
    const QString path = pathOf("huge.mdb");
    const int fd = ::open(Bytes(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    const off_t length = off_t(3584) * 1024 * 1024;
    QCOMPARE(::ftruncate(fd, length), 0);
    ::close(fd);
    QCOMPARE(GetFileLength(path), double(length));
    QFile::remove(path);
  }

  void missingPathsGiveMinusOne() {
    QCOMPARE(GetFileLength(pathOf("missing.mdb")), -1.0);
    QCOMPARE(GetFileLength(pathOf("missing folder/file.mdb")), -1.0);
    QCOMPARE(GetFileLength(QString()), -1.0);
    QCOMPARE(GetFileLength(QStringLiteral("")), -1.0);
    // A file used as if it were a folder.
    const QString file = MakeFile(dir_.path(), "plain.txt", 10);
    QCOMPARE(GetFileLength(file + "/inside.mdb"), -1.0);
  }

  void nonRegularFilesGiveMinusOneAtOnce() {
    // A directory has no file length of its own.
    QCOMPARE(GetFileLength(dir_.path()), -1.0);

    // Opening a FIFO with no writer would block: the length must be answered without.
    const QString fifo = pathOf("pipe.mdb");
    QCOMPARE(::mkfifo(Bytes(fifo).constData(), 0644), 0);
    QCOMPARE(GetFileLength(fifo), -1.0);

    const QString socketPath = pathOf("sock.mdb");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(sock >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray socketBytes = Bytes(socketPath);
    QVERIFY(size_t(socketBytes.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, socketBytes.constData(), socketBytes.size());
    QCOMPARE(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(GetFileLength(socketPath), -1.0);
    ::close(sock);

    QCOMPARE(GetFileLength(QStringLiteral("/dev/null")), -1.0);
    QCOMPARE(GetFileLength(QStringLiteral("/dev/zero")), -1.0);
  }

  void symbolicLinks() {
    const QString target = MakeFile(dir_.path(), "target.mdb", 1234);
    const QString link = pathOf("link.mdb");
    QVERIFY(QFile::link(target, link));
    QCOMPARE(GetFileLength(link), 1234.0);  // the length of the file it names

    const QString dangling = pathOf("dangling.mdb");
    QVERIFY(QFile::link(pathOf("gone.mdb"), dangling));
    QCOMPARE(GetFileLength(dangling), -1.0);

    const QString toFolder = pathOf("folder-link");
    QVERIFY(QFile::link(dir_.path(), toFolder));
    QCOMPARE(GetFileLength(toFolder), -1.0);

    const QString loop = pathOf("loop.mdb");
    QVERIFY(QFile::link(loop, loop));
    QCOMPARE(GetFileLength(loop), -1.0);
  }

  void nulInsideThePathIsNotCutShort() {
    // The part before the NUL names a real file: cutting there would report its length.
    const QString real = MakeFile(dir_.path(), "real.mdb", 500);
    QCOMPARE(GetFileLength(real), 500.0);
    QCOMPARE(GetFileLength(real + QChar(u'\0') + "tail"), -1.0);
    QCOMPARE(GetFileLength(real + QChar(u'\0')), -1.0);

    int64_t length = 0;
    const Status status = FileLen(std::string(Bytes(real).constData()) + '\0' + "x", &length);
    QCOMPARE(status.number(), 52);
    QCOMPARE(status.description(), std::string("Bad file name or number"));
  }

  void nonUtf8Name() {
    // Linux names are bytes; this one is not UTF-8. Qt decodes the stray byte to U+FFFD,
    // so its text names a different (missing) file: the answer is -1, at once.
    const QByteArray raw = Bytes(dir_.path()) + "/caf\xe9 latin1.mdb";
    const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "0123456789", 10), ssize_t(10));
    ::close(fd);
    const QString decoded = QFile::decodeName(raw);
    QCOMPARE(GetFileLength(decoded), -1.0);
    QCOMPARE(Err().Number, 0);
    // The byte path itself is measured by the platform layer.
    int64_t length = 0;
    const bool measured = FileLen(raw.toStdString(), &length).ok();
    ::unlink(raw.constData());  // QTemporaryDir cannot name it to remove it
    QVERIFY(measured);
    QCOMPARE(length, int64_t(10));
  }

  void unreadableFileStillHasLength() {
    // stat reads the inode, not the data: no read permission is needed, for root or
    // anyone else, only search permission on the folders above.
    const QString path = MakeFile(dir_.path(), "locked.mdb", 321);
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    QCOMPARE(GetFileLength(path), 321.0);
  }

  void folderWithoutSearchPermission() {
    QTemporaryDir outer;
    QVERIFY(outer.isValid());
    QVERIFY(QDir(outer.path()).mkdir("closed"));
    const QString path = MakeFile(outer.filePath("closed"), "inside.mdb", 99);
    // Others may reach the outer folder but not into "closed".
    QCOMPARE(::chmod(Bytes(outer.path()).constData(), 0755), 0);
    QCOMPARE(::chmod(Bytes(outer.filePath("closed")).constData(), 0700), 0);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {kChildArgument, path});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitCode(), 0);
    const QByteArray answer = child.readAllStandardOutput().trimmed();
    if (geteuid() == 0) {
      QCOMPARE(answer, QByteArray("-1"));
    } else {
      QCOMPARE(answer, QByteArray("99"));  // our own folder: the owner may search it
    }

    int64_t length = 0;
    if (geteuid() != 0) {
      QCOMPARE(::chmod(Bytes(outer.filePath("closed")).constData(), 0), 0);
      QCOMPARE(GetFileLength(path), -1.0);
      QCOMPARE(FileLen(Bytes(path).toStdString(), &length).number(), kErrPathFileAccess);
      ::chmod(Bytes(outer.filePath("closed")).constData(), 0700);
    }
  }

  void platformErrorNumbers() {
    int64_t length = -5;
    QCOMPARE(FileLen(Bytes(pathOf("missing.mdb")).toStdString(), &length).number(),
             kErrFileNotFound);
    QCOMPARE(FileLen(Bytes(pathOf("no folder/x.mdb")).toStdString(), &length).number(),
             kErrPathNotFound);
    QCOMPARE(FileLen(Bytes(dir_.path()).toStdString(), &length).number(), kErrPathFileAccess);
    QCOMPARE(FileLen("", &length).number(), kErrFileNotFound);
    QCOMPARE(FileLen(std::string(5000, 'n'), &length).number(), 52);
    QCOMPARE(length, int64_t(-5));  // failures leave the length alone
  }

  void errorObjectIsClearAfterwards() {
    const QString present = MakeFile(dir_.path(), "present.mdb", 3);
    for (const QString& path : {present, pathOf("absent.mdb"), dir_.path(), QString()}) {
      Err().Raise(75, QStringLiteral("left over from before"));
      GetFileLength(path);
      QCOMPARE(Err().Number, 0);
      QVERIFY(Err().Description.isEmpty());
    }
  }
};

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kChildArgument) == 0) return LengthAsNobody(argv[2]);
  QCoreApplication app(argc, argv);
  FileHelpersTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "FileHelpersTest.moc"
