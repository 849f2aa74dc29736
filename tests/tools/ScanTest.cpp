// quilletctl scan: who is in every database of a tree, read without touching anything.

#include <fcntl.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QElapsedTimer>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/LockProtocol.h"
#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

namespace fs = std::filesystem;

// Every name under `root` with its type, permissions and bytes (a link's target), sorted:
// what a scan must leave as it found it.
QByteArray TreeDigest(const std::string& root) {
  QList<QByteArray> lines;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const fs::file_status status = entry.symlink_status();
    QByteArray line = QByteArray::fromStdString(entry.path().string()) + '\t' +
                      QByteArray::number(int(status.type())) + '\t' +
                      QByteArray::number(int(status.permissions())) + '\t';
    if (status.type() == fs::file_type::regular)
      line += QCryptographicHash::hash(ReadBytes(entry.path()), QCryptographicHash::Sha256).toHex();
    if (status.type() == fs::file_type::symlink)
      line += QByteArray::fromStdString(fs::read_symlink(entry.path()).string());
    lines << line;
  }
  std::sort(lines.begin(), lines.end());
  return lines.join('\n');
}

QList<QByteArray> SortedLines(const std::string& text) {
  QList<QByteArray> lines = QByteArray::fromStdString(text).split('\n');
  lines.removeAll(QByteArray());
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A Jet name field as Windows Jet writes it: the name, a NUL, then spaces.
QByteArray JetName(const QByteArray& name) { return (name + '\0').leftJustified(32, ' '); }

}  // namespace

class ScanTest : public QObject {
  Q_OBJECT

 private slots:
  // One tree with every state: each database once, as the text and the JSON say, links
  // never followed, and not a byte, name or lock file changed. Whatever a name holds, its
  // database is one line of text, and no escape in it reaches the terminal.
  void tellsEveryStateOfATree() {
    TempFolder tree;
    for (const char* folder : {"sub", "with space"})
      QCOMPARE(::mkdir(tree.file(folder).c_str(), 0755), 0);
    for (const char* name :
         {"closed.mdb", "record.mdb", "page.mdb", "exclusive.MDE", "jet.mdb", "samba.mdb",
          "wine db.mdb", "caf\xe9.mdb", "sub/deep.mDb", "with space/a b.mdb"})
      tree.database(name);
    tree.write("not a db.mdb", "just text\n");
    // A name that would print a whole line of its own, and one with escapes, whose path the
    // reason repeats.
    tree.database("forged\t\nopen\trecord\t7\t0\t0\tpayroll.mdb");
    tree.write(
        "\x1b[2J\xc2\x9b"
        "31mred.mdb",
        "just text\n");
    QCOMPARE(::mkfifo(tree.file("fifo.mdb").c_str(), 0644),
             0);  // a scan that opened it would block
    tree.write("jet.ldb", JetName("WS-07") + JetName("Admin"));
    tree.write("gone.ldb", JetRecord("WS-09", "clerk"));  // its database is gone
    fs::create_directory_symlink(tree.path, tree.file("sub/loop"));
    fs::create_symlink("closed.mdb", tree.file("link.mdb"));

    std::vector<std::unique_ptr<OtherProcess>> holds;
    for (const char* args : {"record.mdb --record", "record.mdb --record", "page.mdb --page",
                             "exclusive.MDE --exclusive", "samba.mdb --page"}) {
      const QStringList arg = QString(args).split(' ');
      holds.push_back(std::make_unique<OtherProcess>(
          std::vector<std::string>{"hold", tree.file(arg[0].toStdString()), arg[1].toStdString()}));
      QVERIFY(holds.back()->line().starts_with("holding"));
    }
    const QString ldb = QString::fromStdString(tree.path) + "/%1.ldb";
    ForeignPeer samba({ldb.arg("samba"), "4", "SMB-PC", "joe", "ofd"});
    ForeignPeer wineOnDatabase(
        {"--database", QString::fromStdString(tree.file("wine db.mdb")), "posix"});
    QVERIFY(samba.ready());
    QVERIFY(wineOnDatabase.ready());
    DatabasePtr ours;  // a name that is not UTF-8, open here
    QVERIFY(OpenDao(tree.file("caf\xe9.mdb"), &ours).ok());
    const QByteArray before = TreeDigest(tree.path);

    // As the text shows a database: its fields, its name as the tree holds it and as the
    // text shows it, and the reason with %1 for the path.
    struct Line {
      QByteArray fields;
      std::string name;
      QByteArray shown = QByteArray::fromStdString(name);
      QByteArray reason = "";
    };
    const QByteArray refused = "Unrecognized database format '%1'.";
    const QList<Line> lines{{"closed\t-\t0\t0\t0", "closed.mdb"},
                            {"open\trecord\t2\t0\t0", "record.mdb"},
                            {"open\tpage\t1\t0\t0", "page.mdb"},
                            {"open\texclusive\t1\t0\t0", "exclusive.MDE"},
                            {"stale lock file\t-\t0\t0\t1", "jet.mdb"},
                            {"other engine\t-\t1\t1\t0", "samba.mdb"},
                            {"other engine\t-\t0\t0\t0", "wine db.mdb"},
                            {"open\tpage\t1\t0\t0", "caf\xe9.mdb", "caf\\xE9.mdb"},
                            {"not a database\t-\t0\t0\t0", "not a db.mdb", "not a db.mdb", refused},
                            {"not a database\t-\t0\t0\t0", "fifo.mdb", "fifo.mdb", refused},
                            {"closed\t-\t0\t0\t0", "forged\t\nopen\trecord\t7\t0\t0\tpayroll.mdb",
                             "forged\\t\\nopen\\trecord\\t7\\t0\\t0\\tpayroll.mdb"},
                            {"not a database\t-\t0\t0\t0",
                             "\x1b[2J\xc2\x9b"
                             "31mred.mdb",
                             "\\x1B[2J\\u009B31mred.mdb", refused},
                            {"stale lock file\t-\t0\t0\t1", "gone.ldb"},
                            {"closed\t-\t0\t0\t0", "sub/deep.mDb"},
                            {"closed\t-\t0\t0\t0", "with space/a b.mdb"}};
    const QByteArray root = QByteArray::fromStdString(tree.path) + '/';
    QList<QByteArray> expected;
    for (const Line& each : lines) {
      const QByteArray reason = QByteArray(each.reason).replace("%1", root + each.shown);
      expected << each.fields + '\t' + root + each.shown + (reason.isEmpty() ? "" : '\t' + reason);
    }
    std::sort(expected.begin(), expected.end());
    OtherProcess text({"scan", tree.path});
    const std::string output = text.output();
    QCOMPARE(std::count(output.begin(), output.end(), '\n'), lines.size());  // one line each
    QCOMPARE(SortedLines(output), expected);
    QCOMPARE(text.errors(), std::string());
    QCOMPARE(text.stop(), 5);

    OtherProcess json({"scan", tree.path, "--json"});
    std::map<QByteArray, QJsonObject> objects;  // by path, its bytes
    for (const QByteArray& each : SortedLines(json.output())) {
      const QJsonObject object = JsonOf(each.toStdString());
      objects[object.contains("pathBytes")
                  ? QByteArray::fromBase64(object["pathBytes"].toString().toLatin1())
                  : object["path"].toString().toUtf8()] = object;
    }
    QCOMPARE(json.stop(), 5);
    QCOMPARE(objects.size(), size_t(lines.size()));
    for (const Line& each : lines) {  // the same facts as the text, names exact
      const QList<QByteArray> field = each.fields.split('\t');
      const QByteArray path = root + QByteArray::fromStdString(each.name);
      const QJsonObject object = objects[path];
      QCOMPARE(object["state"].toString().toUtf8(), field[0]);
      const QJsonValue mode =
          field[1] == "page" || field[1] == "record" ? QJsonValue(QString(field[1])) : QJsonValue();
      QCOMPARE(object["mode"], mode);
      QCOMPARE(object["liveHere"].toInt(), field[2].toInt());
      QCOMPARE(object["liveElsewhere"].toInt(), field[3].toInt());
      QCOMPARE(object["leftBehind"].toInt(), field[4].toInt());
      QCOMPARE(object["reason"].toString().toUtf8(), QByteArray(each.reason).replace("%1", path));
      QCOMPARE(object["locks"].toString(), "local");
    }
    const auto users = [&](const std::string& name) {
      return objects[QByteArray::fromStdString(tree.file(name))];
    };
    const auto user = [](int slot, const QString& computer, const QString& account,
                         const char* state) {
      return QJsonObject{
          {"slot", slot}, {"computer", computer}, {"account", account}, {"state", state}};
    };
    QCOMPARE(users("jet.mdb")["users"].toArray(),
             QJsonArray{user(0, "WS-07", "Admin", "left behind")});
    QCOMPARE(users("jet.mdb")["lockFile"].toString().toStdString(), tree.file("jet.ldb"));
    QCOMPARE(users("closed.mdb")["lockFile"], QJsonValue());
    QCOMPARE(users("samba.mdb")["users"].toArray(),
             (QJsonArray{user(0, Host(), "Admin", "live here"),
                         user(4, "SMB-PC", "joe", "live elsewhere")}));
    QCOMPARE(users("record.mdb")["users"].toArray().size(), 2);
    const QJsonObject cafe = users("caf\xe9.mdb");
    QCOMPARE(QByteArray::fromBase64(cafe["lockFileBytes"].toString().toLatin1()).toStdString(),
             tree.file("caf\xe9.ldb"));
    QCOMPARE(users("gone.ldb")["lockFile"].toString().toStdString(), tree.file("gone.ldb"));

    QCOMPARE(TreeDigest(tree.path), before);  // read only
  }

  // 0: nobody in; 5: someone may be; 1: a DIR that cannot be read at all (the others are
  // still scanned); 2: usage. A folder inside that cannot be read is reported and skipped.
  void exitStatuses_data() {
    // args: "{}": the tree; lines: the paths scanned, in the tree
    Columns<QString, bool, int, QStringList, QString>("args", "nobody", "exitCode", "lines",
                                                      "errors");
    const QString usage = "quilletctl: %1\nTry 'quilletctl --help'.\n";
    const QString cannot = "quilletctl: cannot read folder '%1': %2\n";
    const QString closed = "closed\t-\t0\t0\t0\t{}/";
    const QStringList asRoot{closed + "closed.mdb", "stale lock file\t-\t0\t0\t1\t{}/stale.mdb",
                             closed + "private/hidden.mdb", closed + "sub/deep.mdb"};
    const QStringList asNobody{asRoot[0], asRoot[1], asRoot[3]};
    QTest::newRow("nobody in") << "{}" << false << 0 << asRoot << "";
    QTest::newRow("trailing slash, twice")
        << "{}/sub/ {}/sub" << false << 0 << QStringList{asRoot[3], asRoot[3]} << "";
    QTest::newRow("a file") << "{}/closed.mdb" << false << 1 << QStringList{}
                            << cannot.arg("{}/closed.mdb", "Not a directory");
    QTest::newRow("one of two missing") << "{}/absent {}" << false << 1 << asRoot
                                        << cannot.arg("{}/absent", "No such file or directory");
    QTest::newRow("missing, named with escapes")
        << "{}/gone\x1b[2J\n"
        << false << 1 << QStringList{}
        << cannot.arg("{}/gone\\x1B[2J\\n", "No such file or directory");
    QTest::newRow("no DIR") << "" << false << 2 << QStringList{} << usage.arg("scan: missing DIR");
    QTest::newRow("as nobody, a folder inside unreadable")
        << "{}" << true << 5 << asNobody << cannot.arg("{}/private", "Permission denied");
    QTest::newRow("as nobody, DIR unreadable") << "{}/private" << true << 1 << QStringList{}
                                               << cannot.arg("{}/private", "Permission denied");
  }
  void exitStatuses() {
    const auto [args, nobody, exitCode, lines, errors] =
        Fetch<QString, bool, int, QStringList, QString>("args", "nobody", "exitCode", "lines",
                                                        "errors");
    TempFolder tree;
    QCOMPARE(::chmod(tree.path.c_str(), 0755), 0);
    QCOMPARE(::mkdir(tree.file("sub").c_str(), 0755), 0);
    QCOMPARE(::mkdir(tree.file("private").c_str(), 0700), 0);
    tree.database("closed.mdb");
    tree.database("stale.mdb");
    tree.write("stale.ldb", JetRecord("WS-01", "Admin"));
    tree.database("private/hidden.mdb");
    tree.database("sub/deep.mdb");
    // Somebody's documents under a lock file's name, no database beside them: none of the
    // scan's business, whatever the reason a read of them gives says.
    tree.write("letter.ldb", "Dear Ann,\n");
    tree.write("sub/notes.LACCDB", "to do\n");
    const QString root = QString::fromStdString(tree.path);
    std::vector<std::string> arguments{"scan"};
    for (const QString& arg : args.split(' ', Qt::SkipEmptyParts))
      arguments.push_back(QString(arg).replace("{}", root).toStdString());
    OtherProcess scan(arguments, nobody ? OtherProcess::kNobody : uid_t(-1));
    QString output = lines.join('\n').replace("{}", root);
    if (!output.isEmpty()) output += '\n';
    QCOMPARE(QString::fromStdString(scan.output()), output);
    QCOMPARE(QString::fromStdString(scan.errors()), QString(errors).replace("{}", root));
    QCOMPARE(scan.stop(), exitCode);
  }

  // Access databases are looked at from the outside: a lock on the database or its .laccdb
  // (as Samba shows a Windows client's, OFD; as Wine's server takes them, classic) is someone
  // in; a lock file nobody holds was left behind. Nothing of them is written, locked or
  // deleted. `users` lists the .laccdb's records; an unheld record beside locks elsewhere is
  // unknown, as Access's own offsets are not documented.
  void accessDatabasesFromOutside_data() {
    // files: name=bytes ("ace", "record:COMPUTER:ACCOUNT", or text); peers: ForeignPeer
    // arguments, "|" between peers; line: the scan's line less the path; users: its records
    Columns<QStringList, QString, QString, QString, QString>("files", "peers", "scanned", "line",
                                                             "users");
    const QStringList stale{"x.accdb=ace", "x.laccdb=record:PC-1:joe"};
    QTest::newRow("left behind") << stale << ""
                                 << "x.accdb"
                                 << "stale lock file\t-\t0\t0\t1"
                                 << "0\tPC-1\tjoe\tleft behind";
    QTest::newRow("a client through Samba (OFD user lock)")
        << stale << "{}/x.laccdb 2 PC-2 ann ofd"
        << "x.accdb"
        << "other engine\t-\t0\t1\t0"
        << "0\tPC-1\tjoe\tunknown\n2\tPC-2\tann\tlive elsewhere";
    QTest::newRow("a program under Wine (classic user lock)")
        << QStringList{"x.accde=ace"} << "{}/x.laccdb 0 WINE-PC sam posix"
        << "x.accde"
        << "other engine\t-\t0\t1\t0"
        << "0\tWINE-PC\tsam\tlive elsewhere";
    QTest::newRow("a lock on the database only") << stale << "--database {}/x.accdb ofd"
                                                 << "x.accdb"
                                                 << "other engine\t-\t0\t0\t0"
                                                 << "0\tPC-1\tjoe\tunknown";
    QTest::newRow("orphan lock file held")
        << QStringList{"gone.LACCDB=record:PC-3:eve"} << "{}/gone.LACCDB 1 PC-4 max ofd"
        << "gone.LACCDB"
        << "unknown\t-\t0\t1\t0\tSomeone holds this lock file, but no database of its name "
           "(.accdb or .accde) is beside it: a database named otherwise may be open."
        << "";
    QTest::newRow("not an Access database")
        << QStringList{"x.accdb=just text", "x.laccdb=record:PC-1:joe"} << ""
        << "x.accdb"
        << "not a database\t-\t0\t0\t0\tUnrecognized database format '{}/x.accdb'."
        << "";
    QTest::newRow("a lock file holding something else")
        << QStringList{"x.accdb=ace", "x.laccdb=\x01\x02 binary"} << ""
        << "x.accdb"
        << "unknown\t-\t0\t0\t0\tCould not lock file. '{}/x.laccdb' cannot be its lock file: it "
           "holds something other than records."
        << "";
  }
  void accessDatabasesFromOutside() {
    const auto [files, peers, scanned, line, users] =
        Fetch<QStringList, QString, QString, QString, QString>("files", "peers", "scanned", "line",
                                                               "users");
    TempFolder tree;
    const QString root = QString::fromStdString(tree.path);
    for (const QString& file : files) {
      const QString name = file.section('=', 0, 0), bytes = file.section('=', 1);
      const QStringList record = bytes.split(':');
      tree.write(name.toStdString(), bytes == "ace" ? AceDatabaseBytes()
                                     : record[0] == "record"
                                         ? JetRecord(record[1].toUtf8(), record[2].toUtf8())
                                         : bytes.toLatin1());
    }
    std::vector<std::unique_ptr<ForeignPeer>> running;
    for (const QString& peer : peers.split('|', Qt::SkipEmptyParts)) {
      running.push_back(
          std::make_unique<ForeignPeer>(QString(peer).replace("{}", root).split(' ')));
      QVERIFY(running.back()->ready());
    }
    const QByteArray before = TreeDigest(tree.path);

    OtherProcess scan({"scan", tree.path});
    const QString path = root + '/' + scanned;
    QString reason = line.count('\t') > 4 ? '\t' + line.section('\t', 5) : QString();
    QCOMPARE(QString::fromStdString(scan.output()),
             line.section('\t', 0, 4) + '\t' + path + reason.replace("{}", root) + '\n');
    QCOMPARE(scan.stop(), line.startsWith("other") || line.startsWith("unknown") ? 5 : 0);
    if (scanned.contains(".acc")) {
      OtherProcess listed({"users", path.toStdString()});
      QCOMPARE(QString::fromStdString(listed.output()), users + (users.isEmpty() ? "" : "\n"));
      QCOMPARE(listed.stop(),
               line.startsWith("not a database") || line.contains("Could not lock") ? 1 : 0);
    }
    QCOMPARE(TreeDigest(tree.path), before);  // read only
  }

  // x.mdb and x.mde share x.ldb, x.accdb and x.accde share x.laccdb; but x.mdb and x.accdb
  // have a lock file each, so a lock file of one never speaks for the other.
  void lockFileNamesOfBothKinds() {
    TempFolder tree;
    tree.database("x.mdb");
    tree.accessDatabase("x.accdb");
    tree.accessDatabase("x.accde");
    tree.write("x.ldb", JetRecord("WS-1", "Admin"));
    OtherProcess scan({"scan", tree.path});
    const QByteArray prefix = QByteArray::fromStdString(tree.path) + '/';
    QCOMPARE(SortedLines(scan.output()),
             (QList<QByteArray>{"closed\t-\t0\t0\t0\t" + prefix + "x.accdb",
                                "closed\t-\t0\t0\t0\t" + prefix + "x.accde",
                                "stale lock file\t-\t0\t0\t1\t" + prefix + "x.mdb"}));
    QCOMPARE(scan.stop(), 0);
  }

  // A gate held past a join's 3 s bound leaves that database unknown; the others are scanned.
  void aGateHeldTooLongIsUnknown() {
    TempFolder tree;
    const std::string stuck = tree.database("stuck.mdb");
    tree.database("free.mdb");
    const UniqueFd gate(posix::Open(stuck, O_RDWR));
    QCOMPARE(posix::TryLock(gate.get(), F_WRLCK, posix::ByteRange{lockmap::kGate, 1}), 0);
    QElapsedTimer timer;
    timer.start();
    OtherProcess scan({"scan", tree.path});
    QCOMPARE(
        SortedLines(scan.output()),
        (QList<QByteArray>{
            "closed\t-\t0\t0\t0\t" + QByteArray::fromStdString(tree.file("free.mdb")),
            "unknown\t-\t0\t0\t0\t" + QByteArray::fromStdString(stuck) +
                "\tIts gate stayed locked for more than 3 seconds (a connection stuck while "
                "joining or leaving, such as a stopped process): who is in cannot be told now."}));
    QCOMPARE(scan.stop(), 5);
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 3000, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 8000, qPrintable(QString::number(elapsed)));
  }
};

QTEST_GUILESS_MAIN(ScanTest)
#include "ScanTest.moc"
