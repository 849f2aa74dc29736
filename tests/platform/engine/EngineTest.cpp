// Who may open a database, in the first opener's mode; what cannot be opened is refused.

#include <fcntl.h>
#include <poll.h>

#include <QElapsedTimer>
#include <QFile>
#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include "platform/engine/LockFileUsers.h"
#include "support/EngineTestUtil.h"
#include "support/NameSwapper.h"

using namespace quillet;
using namespace quillet::test;

namespace {
// A first opener: a DAO or ADO connection here, or quilletctl holding the file elsewhere.
struct Opener {
  Opener(const QString& kind, const std::string& path, int mode) {
    if (kind == "DAO") OpenDao(path, &dao);
    if (kind == "ADO") OpenAdo(ado, path, mode);
    if (kind == "elsewhere")
      other = std::make_unique<OtherProcess>(
          std::vector<std::string>{"hold", path, mode ? "--record" : "--page"});
  }
  bool holds() { return dao || ado.IsOpen() || (other && other->line().starts_with("holding")); }
  void leave() {
    dao.reset();
    ado.Close();
    if (other) other->stop();
  }
  DatabasePtr dao;
  Connection ado;
  std::unique_ptr<OtherProcess> other;
};
}  // namespace

class EngineTest : public QObject {
  Q_OBJECT

 private slots:
  // Jet's 3001 and ADO's 3001 are different failures: a number alone never makes them equal.
  void equalNumbersOfTwoComponentsDiffer() {
    Connection connection;
    const Status ado = connection.SetMode(-5);  // ADO's "Arguments are of the wrong type, ..."
    const Status jet = DBEngine::Instance().Idle(-5);  // Jet's "Invalid argument."
    QCOMPARE(ado.number(), jet.number());
    QVERIFY(ado.Is(ErrorSource::kAdo, adErrInvalidArgument));
    QVERIFY(!jet.Is(ErrorSource::kAdo, adErrInvalidArgument));
    QVERIFY(!(ado == jet));
  }

  void laterOpenersJoinTheFirstOpenersMode_data() {
    Columns<QString, int>("first", "mode");
    for (auto [first, mode] :
         {std::pair{"DAO", 0}, {"ADO", 0}, {"ADO", 1}, {"elsewhere", 0}, {"elsewhere", 1}})
      QTest::addRow("%s, %s", first, mode ? "record" : "page") << QString(first) << mode;
  }
  void laterOpenersJoinTheFirstOpenersMode() {
    const auto [first, mode] = Fetch<QString, int>("first", "mode");
    TempFolder folder;
    const std::string path = folder.database("shared.mdb");
    Opener opener(first, path, mode);
    QVERIFY(opener.holds());

    DatabasePtr database, refused;
    QVERIFY(OpenDao(path, &database).ok());
    QCOMPARE(JoinedMode(database), mode);
    Connection joiner, exclusive;
    QVERIFY(OpenAdo(joiner, path, 1 - mode).ok());
    QCOMPARE(ModeOf(joiner), mode);
    QCOMPARE(OpenAdo(exclusive, path, mode, adModeShareExclusive).number(), kAdoProviderError);
    QCOMPARE(OpenDao(path, &refused, true).number(), 3045);

    // Closing one connection must not drop another's locks (classic POSIX locks would).
    opener.leave();
    QVERIFY(joiner.Close().ok());
    QCOMPARE(CheckedMode(path), QString(mode ? "record" : "page"));
    QVERIFY(OtherProcess({"hold", path, "--exclusive"})
                .errors()
                .starts_with("quilletctl: error 3045: "));
    QVERIFY(database->Close().ok());
    QVERIFY(!Exists(folder.file("shared.ldb")));  // the last one out deletes it

    // An exclusive first opener, even a read-only one elsewhere, shuts everyone out.
    OtherProcess alone({"hold", path, "--exclusive", "--read-only"});
    QVERIFY(alone.line().starts_with("holding"));
    const std::string inUse = "Could not use '" + path + "'; file already in use.";
    QCOMPARE(Failure(OpenDao(path, &database)), "3045: " + inUse);
    QCOMPARE(Failure(OpenAdo(joiner, path, 1)), "-2147467259: " + inUse);
  }

  // A whole-file lock of another program (a backup agent) ends the open after a bounded wait.
  void foreignLocksNeverHang() {
    TempFolder folder;
    const std::string path = folder.database("foreign.mdb");
    for (const std::string& locked : {path, folder.file("foreign.ldb")}) {
      const int fd = ::open(locked.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      struct flock lock = {F_RDLCK, SEEK_SET, 0, 0, 0};  // the whole file
      QCOMPARE(::fcntl(fd, F_OFD_SETLK, &lock), 0);
      DatabasePtr database;
      QCOMPARE(Failure(OpenDao(path, &database)), std::string("3050: Could not lock file."));
      ::close(fd);
    }
  }

  void verdictOnOpen_data() {
    // bytes: the contents of a "file", the name of a "missing" one
    Columns<QString, QByteArray, int>("kind", "bytes", "number");
    using Row = std::tuple<const char*, const char*, QByteArray, int>;
    for (const auto& [row, kind, bytes, number] : std::initializer_list<Row>{
             {"Jet 3, a partial page more", "file", JetDatabaseBytes(JetVersion::Jet3) + "xyz", 0},
             {"symlink to a database, its lock file beside the link", "link", {}, 0},
             {"text", "file", QByteArray("Plain text, not a database.\r\n").repeated(400), 3343},
             {"empty", "file", {}, 3343},
             {"ACE", "file", JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB"), 3343},
             {"three pages less a byte", "file", JetDatabaseBytes().chopped(1), 3343},
             {"fifo", "fifo", {}, 3343},
             {"link to a device", "link", "/dev/zero", 3343},
             {"dangling link", "link", "/nonexistent/gone.mdb", 3024},
             {"directory", "directory", {}, 3044},
             {"missing, spaces, not UTF-8", "missing", "not h\xe9re \xff.mdb", 3024},
             {"through a file", "missing", "plain.txt/absent.mdb", 3044}})
      QTest::newRow(row) << QString(kind) << bytes << number;
  }

  void verdictOnOpen() {
    const auto [kind, bytes, number] = Fetch<QString, QByteArray, int>("kind", "bytes", "number");
    TempFolder folder;
    folder.write("plain.txt", "text");
    std::string path = folder.file("bad.mdb");
    if (kind == "file") folder.write("bad.mdb", bytes);
    if (kind == "link")
      QCOMPARE(::symlink(bytes.isEmpty() ? folder.database("real.mdb").c_str() : bytes.constData(),
                         path.c_str()),
               0);
    if (kind == "fifo") ::mkfifo(path.c_str(), 0644);
    if (kind == "directory") ::mkdir(path.c_str(), 0755);
    if (kind == "missing") path = folder.file(bytes.toStdString());
    const std::map<int, std::string> texts{
        {0, ""},
        {3024, "Could not find file '" + path + "'."},
        {3044, "'" + path +
                   "' is not a valid path. Make sure that the path name is spelled correctly "
                   "and that you are connected to the server on which the file resides."},
        {3343, "Unrecognized database format '" + path + "'."}};

    DatabasePtr database;
    QVERIFY(OpenDao(folder.database("good.mdb"), &database).ok());
    const DatabasePtr before = database;
    QCOMPARE(Failure(OpenDao(path, &database)), std::to_string(number) + ": " + texts.at(number));
    QCOMPARE(database == before, number != 0);
    Connection connection;
    QCOMPARE(Failure(OpenAdo(connection, path, 1)),
             (number ? "-2147467259: " : "0: ") + texts.at(number));
    QCOMPARE(Exists(folder.file("bad.ldb")), number == 0);
    QVERIFY(!Exists(folder.file("real.ldb")));
    if (kind == "file") QCOMPARE(ReadBytes(path), bytes);  // opening never writes the database
  }

  // A user swaps their database for a link to a device as fast as they can while `check` and
  // `users` look at it: what the name leads to is looked at through a handle that cannot act
  // on it, and only the regular file looked at is ever opened. A FIFO stands in for the
  // device: a writer waits on it for anyone to open it for reading (or reading and writing).
  void neverOpensWhatANameIsSwappedFor() {
    TempFolder folder;
    QCOMPARE(::chmod(folder.path.c_str(), 0755), 0);
    const std::string path = folder.database("x.mdb"), device = folder.file("device");
    QCOMPARE(::mkfifo(device.c_str(), 0666), 0);
    QCOMPARE(::symlink(device.c_str(), folder.file("link.mdb").c_str()), 0);
    std::atomic<bool> done{false}, ended{false};
    std::atomic<int> opens{0};
    std::thread recorder([&] {
      while (!done) {
        const int fd = ::open(device.c_str(), O_WRONLY | O_CLOEXEC);  // waits for a reader
        opens += !done && fd >= 0;
        pollfd gone{fd, 0, 0};  // POLLERR once every reader has closed it
        ::poll(&gone, 1, 100);
        ::close(fd);
      }
      ended = true;
    });
    int checked = 0, listed = 0;
    {
      // As root, an ordinary user's folder; otherwise this user's own.
      const uid_t user = ::geteuid() == 0 ? OtherProcess::kNobody : ::geteuid();
      QCOMPARE(::chown(folder.path.c_str(), user, user), 0);
      NameSwapper swapper(user, {{path, folder.file("link.mdb")}}, 10);
      QElapsedTimer clock;
      clock.start();
      for (int round = 0; round < 20000 && !clock.hasExpired(3000); ++round) {
        DatabasePtr database;
        checked += OpenDao(path, &database).ok();
        std::string lockFile;
        std::vector<LockFileUser> users;
        listed += ReadLockFileUsers(path, &lockFile, &users).ok();
        if (round % 500 == 0) checked += CheckedMode(path) == "page";
        if (round % 500 == 250) listed += OtherProcess({"users", path}).stop() == 0;
      }
      QVERIFY(swapper.swaps() > 0);
    }
    done = true;
    while (!ended) {  // let the recorder go
      ::close(::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    recorder.join();
    qInfo("%d checks and %d listings reached the database", checked, listed);
    QCOMPARE(opens.load(), 0);
    QVERIFY(checked > 0);
    QVERIFY(listed > 0);
  }

  // mdbtools names the fixtures' formats as the engine judges them: the headers are real ones.
  void fixturesAgreeWithMdbtools() {
    const QString mdbVer = "/usr/bin/mdb-ver";  // Debian's, never one earlier in root's PATH
    if (!QFile::exists(mdbVer))
      QSKIP("mdb-ver is not installed (mdbtools, scripts/install-deps.sh)");
    QByteArray ace = JetDatabaseBytes(JetVersion::Jet4, 3, "Standard ACE DB");
    ace[0x14] = 0x02;
    TempFolder folder;
    for (const auto& [bytes, reading, opens] :
         {std::tuple{JetDatabaseBytes(JetVersion::Jet3), "JET3", true},
          std::tuple{JetDatabaseBytes(JetVersion::Jet4), "JET4", true},
          std::tuple{ace, "ACE12", false}}) {
      const std::string path = folder.write("fixture.mdb", bytes);
      QProcess reader;
      reader.start(mdbVer, {QString::fromStdString(path)});
      QVERIFY(reader.waitForFinished(10000));
      QCOMPARE(reader.readAllStandardOutput().trimmed(), QByteArray(reading));
      DatabasePtr database;
      QCOMPARE(OpenDao(path, &database).ok(), opens);
    }
  }

  // Never a closed standard stream's number (output would land in it), never inherited.
  void descriptorsStayTheEngines() {
    TempFolder folder;
    const std::string path = folder.database("fd.mdb");
    const int saved = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::close(0);
    DatabasePtr dao;
    Connection ado;
    const std::string daoOpened = Failure(OpenDao(path, &dao));
    const std::string adoOpened = Failure(OpenAdo(ado, path, 1));
    const int zeroFailsWith = ::fcntl(0, F_GETFD) == -1 ? errno : 0;
    ::dup2(saved, 0);
    ::close(saved);
    QCOMPARE(daoOpened, kOk);
    QCOMPARE(adoOpened, kOk);
    QCOMPARE(zeroFailsWith, EBADF);  // still closed
    QVERIFY(Exists(folder.file("fd.ldb")));
    QProcess child;
    child.start("/bin/sh", {"-c", "ls -l /proc/$$/fd"});
    QVERIFY(child.waitForFinished(10000));
    const QByteArray seen = child.readAllStandardOutput();
    QVERIFY2(seen.contains(" -> "), seen.constData());
    QVERIFY2(!seen.contains(QByteArray::fromStdString(folder.path)), seen.constData());
  }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "EngineTest.moc"
