// quilletctl as scripts use it: what it prints on each stream, and how it exits.

#include <fcntl.h>
#include <sys/socket.h>

#include <QFile>
#include <optional>

#include "support/EngineTestUtil.h"
#include "tools/Escaped.h"

using namespace quillet;
using namespace quillet::test;

namespace {

std::vector<std::string> Args(const QString& command) {  // '' stands for an empty argument
  std::vector<std::string> args;
  for (const QString& arg : command.split(' ', Qt::SkipEmptyParts))
    args.push_back(arg == "''" ? std::string() : arg.toStdString());
  return args;
}

const QString kRecordLine = "Information: The database is using 'Record Level' locking.";
const std::string kPageLine = "Information: The database is using 'Page Level' locking.";
const std::string kLostOutput = "quilletctl: cannot write to standard output: ";

// What a caller may have done to quilletctl's standard output before starting it.
enum class Output { Full, Closed, InputAndOutputClosed, ReaderGone };

// Bends quilletctl's standard output in the child, once QProcess has set up its descriptors.
std::function<void()> Bend(Output output, int writer) {
  return [output, writer] {
    if (output == Output::Full) ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
    if (output == Output::Closed || output == Output::InputAndOutputClosed) ::close(STDOUT_FILENO);
    if (output == Output::InputAndOutputClosed) ::close(STDIN_FILENO);
    if (output == Output::ReaderGone) ::dup2(writer, STDOUT_FILENO);
  };
}

// The fields JSON adds for a file on this computer's disk, Samba not asked or without clients.
// Which shares of this machine's Samba serve it is this machine's (DoctorSambaTest tells them
// against a real one): here only their shape.
QJsonObject OnLocalDisk(QJsonObject object, const std::string& path, const QJsonObject& got) {
  object["filesystem"] = FindmntType(path);
  object["locks"] = "local";
  for (const char* status : {"samba", "sambaConfiguration"}) {
    const QString said = got[status].toString();
    object[status] = said == "read" || said.startsWith("not read: ") ? said : "<missing>";
  }
  object["sambaShares"] = got["sambaShares"].isArray() ? got["sambaShares"] : "<missing>";
  return object;
}

}  // namespace

class QuilletctlTest : public QObject {
  Q_OBJECT

 private slots:
  void runsAndExits_data() {
    Columns<QString, int, QString, QString>("command", "exitCode", "output", "errors");
    const QString usage = "quilletctl: %1\nTry 'quilletctl --help'.\n";
    const QString page = QString::fromStdString(kPageLine + "\n");
    const QString dash = "; a FILE whose name begins with '-' needs -- before it";
    using Row = std::tuple<const char*, const char*, int, QString, QString>;
    for (const auto& [row, command, exitCode, output, errors] : std::initializer_list<Row>{
             {"version", "--version", 0, "quilletctl " QUILLET_VERSION "\n", ""},
             {"unknown command", "open x.mdb", 2, "", usage.arg("unknown command 'open'")},
             {"file beginning with -", "check -dash.mdb", 2, "",
              usage.arg("unknown option '-dash.mdb'" + dash)},
             {"both modes", "hold a.mdb --page --record", 2, "",
              usage.arg("hold: --page and --record exclude each other")},
             {"hold option to check", "check --record a.mdb", 2, "",
              usage.arg("check: no option --record")},
             {"hold option to doctor", "doctor --page", 2, "",
              usage.arg("doctor: no option --page")},
             {"doctor, an empty path", "doctor --json ''", 2, "",
              usage.arg("doctor: an empty PATH")},
             {"file named like an option", "check -- --record", 0, page, ""},
             {"no lock file, no users", "users -- --record", 0, "", ""},
             {"missing file, DAO", "check absent.mdb", 1, "",
              "quilletctl: error 3024: Could not find file 'absent.mdb'.\n"},
             {"users of a missing file", "users absent.mdb --json", 1, "",
              "quilletctl: error 3024: Could not find file 'absent.mdb'.\n"},
             {"users of a folder", "users --json .", 1, "",
              "quilletctl: error 3044: '.' is not a valid path. Make sure that the path name is "
              "spelled correctly and that you are connected to the server on which the file "
              "resides.\n"},
             {"users of a file that is no database", "users /proc/self/status", 1, "",
              "quilletctl: error 3343: Unrecognized database format '/proc/self/status'.\n"},
             // Error lines quote names too: each stays one line, and no escape reaches the
             // terminal.
             {"missing file named with escapes", "check absent\x1b[2J\t\n.mdb", 1, "",
              "quilletctl: error 3024: Could not find file 'absent\\x1B[2J\\t\\n.mdb'.\n"},
             {"a second FILE named with a newline", "users a.mdb b\nc\xc2\x9b.mdb", 2, "",
              usage.arg("users: only one FILE, got 'b\\nc\\u009B.mdb' too")},
             // Access databases are looked at from the outside only: never opened, never held.
             {"check of an Access database", "check x.accdb", 1, "",
              "quilletctl: error 3343: Unrecognized database format 'x.accdb'.\n"},
             {"hold of an Access database", "hold x.accdb", 1, "",
              "quilletctl: error 3343: Unrecognized database format 'x.accdb'.\n"},
             {"users of an Access database without a lock file", "users x.accdb", 0, "", ""},
             {"users of a missing Access database", "users absent.accde", 1, "",
              "quilletctl: error 3024: Could not find file 'absent.accde'.\n"},
             {"users of a Jet database named .accdb", "users --json jet.accdb", 1, "",
              "quilletctl: error 3343: Unrecognized database format 'jet.accdb'.\n"},
             {"scan: figures and JSON", "scan . --json --metrics", 2, "",
              usage.arg("scan: --json and --metrics exclude each other")},
             {"scan: a metrics file without a name", "scan . --metrics-file", 2, "",
              usage.arg("Missing value after '--metrics-file'.")}})
      QTest::newRow(row) << QString(command) << exitCode << output << errors;
  }
  void runsAndExits() {
    const auto [command, exitCode, output, errors] =
        Fetch<QString, int, QString, QString>("command", "exitCode", "output", "errors");
    TempFolder folder;
    folder.database("--record");
    folder.accessDatabase("x.accdb");
    folder.database("jet.accdb");
    OtherProcess run(Args(command), uid_t(-1), {}, folder.path);
    QCOMPARE(run.output(), output.toStdString());
    QCOMPARE(run.errors(), errors.toStdString());
    QCOMPARE(run.stop(), exitCode);
    QCOMPARE(std::distance(std::filesystem::directory_iterator(folder.path), {}),
             3);  // left nothing behind
  }

  // How text output shows a name or record, and that bash's printf %b (in a UTF-8 locale)
  // gives the original bytes back.
  void escapesControlCharacters_data() {
    Columns<QByteArray, QByteArray>("bytes", "shown");
    using Row = std::tuple<const char*, QByteArray, QByteArray>;
    for (const auto& [row, bytes, shown] : std::initializer_list<Row>{
             {"plain", "Sales 2024.mdb", "Sales 2024.mdb"},
             {"UTF-8 of 2, 3 and 4 bytes, and U+FEFF",
              "caf\xc3\xa9 \xef\xbb\xbf \xe6\x97\xa5 \xf0\x9f\x98\x80",
              "caf\xc3\xa9 \xef\xbb\xbf \xe6\x97\xa5 \xf0\x9f\x98\x80"},
             {"backslashes, one at the end", "a\\b\\", "a\\\\b\\\\"},
             {"tab, newline, return", "a\tb\nc\rd", "a\\tb\\nc\\rd"},
             {"NUL, other C0, ESC [ and DEL", QByteArray("\0\x01\x1b[31m\x7f", 8),
              "\\x00\\x01\\x1B[31m\\x7F"},
             {"a lone 0x9B byte",
              "\x9b"
              "2J",
              "\\x9B2J"},
             {"U+009B in UTF-8, and C1's edges",
              "\xc2\x9b"
              "2J \xc2\x80\xc2\x9f\xc2\xa0",
              "\\u009B2J \\u0080\\u009F\xc2\xa0"},
             {"Latin-1", "caf\xe9.mdb", "caf\\xE9.mdb"},
             {"overlong, surrogate, past U+10FFFF, cut short",
              "\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
              "\\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80 \\xE2\\x82"},
             {"a stray continuation byte, a sequence broken by ASCII",
              "\x80 \xe2\x82"
              "A",
              "\\x80 \\xE2\\x82"
              "A"}})
      QTest::newRow(row) << bytes << shown;
  }
  void escapesControlCharacters() {
    const auto [bytes, shown] = Fetch<QByteArray, QByteArray>("bytes", "shown");
    QCOMPARE(quilletctl::Escaped(bytes), shown);
    QProcess printf;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C.UTF-8");
    printf.setProcessEnvironment(environment);
    printf.start("bash", {"-c", R"(printf %b "$1")", "bash", QString::fromUtf8(shown)});
    QVERIFY(printf.waitForFinished(10000));
    QCOMPARE(printf.readAllStandardOutput(), bytes);
  }

  // A file name need not be UTF-8 (a Latin-1 share): it reaches the engine byte for byte, and
  // JSON gives its exact bytes beside the text.
  void nameThatIsNotUtf8_data() {
    Rows<QString>("command", {{"check --json", "check --json"}, {"users --json", "users --json"}});
  }
  void nameThatIsNotUtf8() {
    QFETCH(QString, command);
    TempFolder folder;
    const QByteArray path = QByteArray::fromStdString(folder.database("caf\xe9.mdb"));
    QProcess run;
    run.start("/bin/sh", {"-c", R"sh(exec "$0" $1 "$2/$(printf 'caf\351.mdb')")sh",
                          QuilletctlPath(), command, QString::fromStdString(folder.path)});
    QVERIFY(run.waitForFinished(10000));
    QCOMPARE(run.readAllStandardError(), QByteArray());
    QCOMPARE(run.exitCode(), 0);
    const QJsonObject json = JsonOf(run.readAllStandardOutput().toStdString());
    QCOMPARE(json["file"].toString(), QFile::decodeName(path));  // as before: U+FFFD for \xe9
    QCOMPARE(QByteArray::fromBase64(json["fileBytes"].toString().toLatin1()), path);
    QCOMPARE(QByteArray::fromBase64(json["lockFileBytes"].toString().toLatin1()),
             command.startsWith("users") ? path.chopped(4) + ".ldb" : QByteArray());
  }

  // Beside others, check --json names the mode in effect, and hold --record that cannot have
  // record level still holds but says so and exits 4; any stop signal ends a hold cleanly.
  void checkAndHoldBesideOthers_data() {
    Columns<QString, QJsonValue, QString, QString, int, int>("first", "mode", "message",
                                                             "announced", "stopSignal", "exitCode");
    const QString notAsked = ", not the Record Level mode asked for";
    QTest::newRow("nobody") << "" << QJsonValue("page") << QString::fromStdString(kPageLine)
                            << " in Record Level mode" << int(SIGHUP) << 0;
    QTest::newRow("a record-level hold, told its reader went away")
        << "--record" << QJsonValue("record") << kRecordLine << " in Record Level mode"
        << int(SIGPIPE) << 0;
    QTest::newRow("a page-level hold")
        << "--page" << QJsonValue("page") << QString::fromStdString(kPageLine)
        << " in Page Level mode" + notAsked << int(SIGINT) << 4;
    QTest::newRow("another engine")
        << "foreign" << QJsonValue()
        << "Information: The type of locking the database is using cannot be found."
        << " in an undetermined mode" + notAsked << int(SIGTERM) << 4;
  }
  void checkAndHoldBesideOthers() {
    const auto [first, mode, message, announced, stopSignal, exitCode] =
        Fetch<QString, QJsonValue, QString, QString, int, int>(
            "first", "mode", "message", "announced", "stopSignal", "exitCode");
    TempFolder folder;
    const std::string path = folder.database("shared\tdb.mdb");  // one line, the tab escaped
    const std::string shown = folder.file("shared\\tdb.mdb");
    std::optional<OtherProcess> hold;
    std::optional<ForeignPeer> foreign;
    if (first.startsWith("--"))
      hold.emplace(std::vector<std::string>{"hold", path, first.toStdString()});
    if (hold) QVERIFY(hold->line().starts_with("holding"));
    if (first == "foreign")
      foreign.emplace(QStringList{QString::fromStdString(folder.file("shared\tdb.ldb")), "0",
                                  "WINE-PC", "Admin", "posix"});
    if (foreign) QVERIFY(foreign->ready());

    OtherProcess check({"check", "--json", path});
    const std::string output = check.output();
    QCOMPARE(std::count(output.begin(), output.end(), '\n'), 1);  // one line
    QCOMPARE(
        JsonOf(output),
        OnLocalDisk({{"file", QString::fromStdString(path)}, {"message", message}, {"mode", mode}},
                    path, JsonOf(output)));
    QCOMPARE(check.errors(), std::string());
    QCOMPARE(check.stop(), 0);

    OtherProcess recordHold({"hold", path, "--record"});
    QCOMPARE(recordHold.line(), "holding " + shown + announced.toStdString());
    QCOMPARE(recordHold.stop(stopSignal), exitCode);
    QCOMPARE(recordHold.output(), std::string());  // nothing more
    QCOMPARE(recordHold.errors(), std::string());
    QCOMPARE(Exists(folder.file("shared\tdb.ldb")), !first.isEmpty());  // ours went with it
  }

  // `hold | head -n1`: gone within a second of a pipe's or socket's reader; a file holds on.
  void holdEndsWhenItsReaderGoesAway_data() {
    QTest::addColumn<QString>("output");
    for (const char* output : {"pipe", "socket", "file"}) QTest::newRow(output) << QString(output);
  }
  void holdEndsWhenItsReaderGoesAway() {
    QFETCH(QString, output);
    TempFolder folder;
    const std::string path = folder.database("read.mdb");
    int ends[2] = {-1, -1};  // the reader's, then the hold's
    if (output == "pipe") QCOMPARE(::pipe2(ends, O_CLOEXEC), 0);
    if (output == "socket") QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    if (output == "file") {
      ends[1] = ::open(folder.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      ends[0] = ::open(folder.file("out").c_str(), O_RDONLY | O_CLOEXEC);
    }
    OtherProcess hold({"hold", path, "--record"}, uid_t(-1),
                      [writer = ends[1]] { ::dup2(writer, STDOUT_FILENO); });
    ::close(ends[1]);
    char line[1024];  // head reads its line, then goes (a file has it once it is written)
    ssize_t got = 0;
    for (int i = 0; i < 1000 && (got = ::read(ends[0], line, sizeof line)) == 0; ++i)
      QTest::qWait(10);
    QVERIFY(got > 0);
    QVERIFY(Exists(folder.file("read.ldb")));
    ::close(ends[0]);
    QCOMPARE(hold.waitForFinished(1000), output != "file");
    QCOMPARE(hold.stop(), 0);
    QVERIFY(!Exists(folder.file("read.ldb")));
    QCOMPARE(hold.errors(), std::string());
  }

  // users decodes Windows-1252, skips empty records, only reads; --json gives the same, but
  // the text escapes what a terminal would act on: 0x9D has no character in Windows-1252 and
  // decodes to the C1 control U+009D, while 0x9B is a printable U+203A.
  void usersListsTheLockFile() {
    TempFolder folder;
    const std::string path = folder.database("users.mdb");
    const std::string lockFile =
        folder.write("users.ldb", JetRecord("WS-01", "Admin") + QByteArray(64, '\0') +
                                      JetRecord("WS 2", "Jos\xe9 \x80", ' ') +
                                      JetRecord("PC\x9d"
                                                "1",
                                                "\x9b\\"));
    ForeignPeer foreign({QString::fromStdString(lockFile), "1", "WINE-PC", "sam", "posix"});
    QVERIFY(foreign.ready());
    const QByteArray before = ReadBytes(lockFile);
    using Record = std::tuple<int, QString, QString, QString>;
    const QList<Record> records{{0, "WS-01", "Admin", "left behind"},
                                {1, "WINE-PC", "sam", "live elsewhere"},
                                {2, "WS 2", "Jos\u00e9 \u20ac", "left behind"},
                                {3,
                                 "PC\u009d"
                                 "1",
                                 "\u203a\\", "left behind"}};
    const QString text =
        "0\tWS-01\tAdmin\tleft behind\n1\tWINE-PC\tsam\tlive elsewhere\n"
        "2\tWS 2\tJos\u00e9 \u20ac\tleft behind\n3\tPC\\u009D1\t\u203a\\\\\tleft behind\n";

    OtherProcess users({"users", path});
    QCOMPARE(QString::fromStdString(users.output()), text);
    QCOMPARE(users.errors(), std::string());
    QCOMPARE(users.stop(), 0);
    OtherProcess usersJson({"users", path, "--json"});
    QJsonArray expected;
    for (const auto& [slot, computer, account, state] : records)
      expected << QJsonObject{
          {"slot", slot}, {"computer", computer}, {"account", account}, {"state", state}};
    const QJsonObject listed = JsonOf(usersJson.output());
    QCOMPARE(listed, OnLocalDisk({{"file", QString::fromStdString(path)},
                                  {"lockFile", QString::fromStdString(lockFile)},
                                  {"users", expected},
                                  {"sambaOpens", QJsonArray()}},
                                 path, listed));
    QCOMPARE(usersJson.stop(), 0);
    QCOMPARE(ReadBytes(lockFile), before);  // read only
  }

  // Lost output exits 3, never a silent success; a hold lets go at once, and with stdout
  // closed its ready line must not land in the database (the first file opened takes fd 1).
  void lostOutput_data() {
    Columns<QString, int>("command", "output");
    QTest::newRow("check, full") << "check d.mdb" << int(Output::Full);
    QTest::newRow("check --json, reader gone") << "check --json d.mdb" << int(Output::ReaderGone);
    QTest::newRow("users --json, closed") << "users d.mdb --json" << int(Output::Closed);
    QTest::newRow("hold, stdout closed") << "hold d.mdb" << int(Output::Closed);
    QTest::newRow("hold, stdin and stdout closed")
        << "hold d.mdb" << int(Output::InputAndOutputClosed);
    QTest::newRow("hold, reader gone") << "hold d.mdb" << int(Output::ReaderGone);
  }
  void lostOutput() {
    const auto [command, output] = Fetch<QString, int>("command", "output");
    TempFolder folder;
    const std::string path = folder.database("d.mdb");
    const bool hold = command.startsWith("hold");
    if (!hold) folder.write("d.ldb", JetRecord("WS-01", "Admin"));  // one user for users to print
    int pipe[2] = {-1, -1};
    QCOMPARE(::pipe2(pipe, O_CLOEXEC), 0);
    ::close(pipe[0]);  // a reader gone before a byte
    OtherProcess run(Args(command), uid_t(-1), Bend(Output(output), pipe[1]), folder.path);
    ::close(pipe[1]);
    QCOMPARE(run.stop(0), 3);  // by itself: a hold lets go without being told
    QVERIFY2(run.errors().starts_with(kLostOutput), qPrintable(command));
    if (!hold) return;
    QCOMPARE(ReadBytes(path), JetDatabaseBytes());
    QCOMPARE(std::distance(std::filesystem::directory_iterator(folder.path), {}),
             1);           // no lock file
    DatabasePtr database;  // and the database is free again
    QCOMPARE(Failure(OpenDao(path, &database, true)), kOk);
  }
};

QTEST_GUILESS_MAIN(QuilletctlTest)
#include "QuilletctlTest.moc"
