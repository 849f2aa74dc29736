// GetFileLength and StripExtension against real files, folders, FIFOs, sockets and links
// in a temporary folder.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

#include "common/FileHelpers.h"
#include "platform/ErrObject.h"

using namespace quillet;

namespace {

// Puts what a row names at path: a file of the given length (sparse), a FIFO, a socket,
// a folder or a link; nothing for a kind left empty.
bool Make(const QString& kind, const QString& path, qint64 size) {
  if (kind.isEmpty()) return true;
  QDir().mkpath(QFileInfo(path).path());
  const QByteArray bytes = QFile::encodeName(path);
  if (kind == "file") {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
  }
  if (kind == "fifo") return ::mkfifo(bytes.constData(), 0644) == 0;
  if (kind == "folder") return QDir().mkdir(path);
  if (kind == "link") {
    return Make("file", path + ".target", size) && QFile::link(path + ".target", path);
  }
  if (kind == "dangling link") return QFile::link(path + ".gone", path);
  if (kind == "link loop") return QFile::link(path, path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (kind != "socket" || size_t(bytes.size()) >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, bytes.constData(), bytes.size());
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(sock);  // the socket file stays behind
  return bound;
}

}  // namespace

class FileHelpersTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir_;

 private slots:
  void stripExtension_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("backslash path") << "D:\\Data\\Sales.mdb" << "D:\\Data\\Sales";
    QTest::newRow("dot only in a folder") << "D:\\Data.2024\\Sales" << "D:\\Data.2024\\Sales";
    QTest::newRow("dot only in a Linux folder") << "/srv/data.2024/Sales" << "/srv/data.2024/Sales";
    QTest::newRow("last extension only") << "archive.tar.gz" << "archive.tar";
    QTest::newRow("trailing dot") << "Sales." << "Sales";
    QTest::newRow("dot first") << ".mdb" << "";
    QTest::newRow("lone dot") << "." << "";
    QTest::newRow("hidden name") << "D:\\Data\\.hidden" << "D:\\Data\\";
    QTest::newRow("forward slashes") << "C:/Data/Sales.mdb" << "C:/Data/Sales";
    QTest::newRow("trailing separator") << "/srv/data.d/" << "/srv/data.d/";
    QTest::newRow("no dot, no separator") << "Sales" << "Sales";
    QTest::newRow("non-ASCII name") << "/srv/Société/Été.mdb" << "/srv/Société/Été";
    QTest::newRow("empty") << "" << "";
  }
  void stripExtension() {
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(StripExtension(path), expected);
  }

  void getFileLength_data() {
    QTest::addColumn<QString>("name");  // in the temporary folder; empty: the empty text
    QTest::addColumn<QString>("kind");  // what Make puts there first
    QTest::addColumn<qint64>("size");
    QTest::addColumn<double>("expected");
    const qint64 huge = qint64(3584) << 20;  // beyond any 32-bit length
    QTest::newRow("missing file") << "missing.mdb" << "" << qint64(0) << -1.0;
    QTest::newRow("missing folder") << "no folder/x.mdb" << "" << qint64(0) << -1.0;
    QTest::newRow("empty text") << "" << "" << qint64(0) << -1.0;
    QTest::newRow("empty file") << "empty.mdb" << "file" << qint64(0) << 0.0;
    QTest::newRow("1000 bytes") << "thousand.mdb" << "file" << qint64(1000) << 1000.0;
    QTest::newRow("3.5 GiB") << "huge.mdb" << "file" << huge << double(huge);
    QTest::newRow("spaces") << "my data/my base.mdb" << "file" << qint64(77) << 77.0;
    QTest::newRow("non-ASCII") << "Société/été 日本.mdb" << "file" << qint64(5) << 5.0;
    QTest::newRow("link to a file") << "link.mdb" << "link" << qint64(1234) << 1234.0;
    // Opening a FIFO that has no writer would block: the answer must come without.
    QTest::newRow("FIFO") << "pipe.mdb" << "fifo" << qint64(0) << -1.0;
    QTest::newRow("socket") << "sock.mdb" << "socket" << qint64(0) << -1.0;
    QTest::newRow("directory") << "folder.mdb" << "folder" << qint64(0) << -1.0;
    QTest::newRow("dangling link") << "dangling.mdb" << "dangling link" << qint64(0) << -1.0;
    QTest::newRow("link loop") << "loop.mdb" << "link loop" << qint64(0) << -1.0;
    // The part before the NUL names a real file: cutting the name there would measure it.
    QTest::newRow("NUL inside") << QString("real.mdb") + QChar(u'\0') + "tail" << "file"
                                << qint64(500) << -1.0;
  }
  void getFileLength() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(qint64, size);
    QFETCH(double, expected);
    const QString path = name.isEmpty() ? QString() : dir_.filePath(name);
    QVERIFY(Make(kind, path.left(path.indexOf(QChar(u'\0'))), size));
    Err().Raise(75, "left over from before");
    QCOMPARE(GetFileLength(path), expected);
    QCOMPARE(Err().Number, 0);  // it never fails, and leaves the current error clear
    QVERIFY(Err().Description.isEmpty());
  }

  void nonUtf8Name() {
    // Linux names are bytes and this one is not UTF-8. Qt decodes the stray byte to
    // U+FFFD, so the text names another, missing file: -1 at once, no error left.
    const QByteArray raw = QFile::encodeName(dir_.path()) + "/caf\xe9.mdb";
    const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    Err().Raise(75, "left over from before");
    const double length = GetFileLength(QFile::decodeName(raw));
    ::unlink(raw.constData());  // QTemporaryDir cannot name it to remove it
    QCOMPARE(length, -1.0);
    QCOMPARE(Err().Number, 0);
  }
};

QTEST_GUILESS_MAIN(FileHelpersTest)
#include "FileHelpersTest.moc"
