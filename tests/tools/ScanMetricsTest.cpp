// quilletctl scan --metrics and --metrics-file: Prometheus' text format as promtool and a real
// node exporter read it, from the command the packaged service runs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>

#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// The helper programs where Debian's packages put them: run as root, a test must not run
// whatever a folder earlier in PATH holds under their names.
const QString kPromtool = "/usr/bin/promtool";
const QString kNodeExporter = "/usr/bin/prometheus-node-exporter";
const QString kCurl = "/usr/bin/curl";

// The samples of one family, sorted.
QList<QByteArray> Samples(const QByteArray& text, const QByteArray& family) {
  QList<QByteArray> samples;
  for (const QByteArray& line : text.split('\n')) {
    if (line.startsWith(family + '{') || line.startsWith(family + ' ')) samples << line;
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

// Whether every family is told once: HELP, TYPE, then all of its samples together.
bool FamiliesTogether(const QByteArray& text) {
  QList<QByteArray> families;
  for (const QByteArray& line : text.split('\n')) {
    if (line.isEmpty()) continue;
    const QByteArray name = line.startsWith("# HELP ") ? line.mid(7).split(' ')[0]
                            : line.startsWith('#')     ? QByteArray()
                                                       : line.split('{')[0].split(' ')[0];
    if (name.isEmpty() || (!families.isEmpty() && families.back() == name)) continue;
    if (families.contains(name)) return false;
    families << name;
  }
  return true;
}

// promtool check metrics on `text`: its complaints, or "" when it finds no fault.
QString PromtoolComplaints(const QByteArray& text) {
  QProcess promtool;
  promtool.start(kPromtool, {"check", "metrics"});
  promtool.write(text);
  promtool.closeWriteChannel();
  promtool.waitForFinished();
  const QString said = promtool.readAll();
  return promtool.exitCode() == 0 ? said : "exit " + QString::number(promtool.exitCode()) + said;
}

void SetChanged(const std::string& path, time_t seconds, long nanoseconds) {
  const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    qFatal("cannot set the time of %s", path.c_str());
}

// The databases named, an Access database open.accdb, and old.ldb left behind at a known time.
void WriteTree(const TempFolder& tree, const std::vector<std::string>& databases) {
  for (const std::string& name : databases) tree.database(name);
  tree.accessDatabase("open.accdb");
  tree.write("old.ldb", JetRecord("WS-1", "Admin"));
  SetChanged(tree.file("old.ldb"), 1600000000, 500000000);
}

QByteArray Label(const std::string& path) {  // a path label, escaped as the format wants
  return "path=\"" +
         QByteArray::fromStdString(path)
             .replace('\\', "\\\\")
             .replace('"', "\\\"")
             .replace('\n', "\\n") +
         '"';
}

}  // namespace

class ScanMetricsTest : public QObject {
  Q_OBJECT

 private slots:
  // Every state counted, zeros too; a series per path in use or left behind, its label
  // escaped, a name that is not UTF-8 told by its bytes; each family once; promtool content.
  // The findings of the Samba share that serves the tree (where Samba is installed), not of
  // one that only may ([homes]) or serves elsewhere.
  void figuresOfATree() {
    TempFolder tree, samba;
    const std::string conf = samba.write(
        "smb.conf", "[global]\n  usershare max shares = 0\n[homes]\n[elsewhere]\n  path = " +
                        QByteArray::fromStdString(samba.path) +
                        "\n  locking = no\n[data]\n  path = " +
                        QByteArray::fromStdString(tree.path) + "\n  fake oplocks = yes\n");
    const QByteArray variable = qgetenv("SMB_CONF_PATH");
    qputenv("SMB_CONF_PATH", QByteArray::fromStdString(conf));
    const auto restore = qScopeGuard([&] {
      variable.isNull() ? qunsetenv("SMB_CONF_PATH") : qputenv("SMB_CONF_PATH", variable);
    });
    const std::string quote = "quo\"te\\back.mdb", newline = "line\nbreak.mdb";
    WriteTree(tree, {"closed.mdb", "record.mdb", quote, newline, "caf\xe9.mdb", "old.mdb"});
    std::vector<std::unique_ptr<OtherProcess>> holds;
    for (const std::string& args :
         {std::string("record.mdb"), std::string("record.mdb"), quote, newline}) {
      holds.push_back(std::make_unique<OtherProcess>(std::vector<std::string>{
          "hold", tree.file(args), args == "record.mdb" ? "--record" : "--page"}));
      QVERIFY(holds.back()->line().starts_with("holding"));
    }
    DatabasePtr ours;  // a name that is not UTF-8, open here
    QVERIFY(OpenDao(tree.file("caf\xe9.mdb"), &ours).ok());
    ForeignPeer client(
        {QString::fromStdString(tree.file("open.laccdb")), "3", "PC-3", "ann", "ofd"});
    QVERIFY(client.ready());

    OtherProcess scan({"scan", tree.path, "--metrics"});
    const QByteArray text = QByteArray::fromStdString(scan.output());
    QCOMPARE(scan.errors(), std::string());
    QCOMPARE(scan.stop(), 5);
    QCOMPARE(Samples(text, "quillet_databases"),
             (QList<QByteArray>{"quillet_databases{state=\"closed\"} 1",
                                "quillet_databases{state=\"not a database\"} 0",
                                "quillet_databases{state=\"open\"} 4",
                                "quillet_databases{state=\"other engine\"} 1",
                                "quillet_databases{state=\"stale lock file\"} 1",
                                "quillet_databases{state=\"unknown\"} 0"}));
    const QByteArray cafe = Label(tree.path + "/caf\xef\xbf\xbd.mdb") + ",path_base64=\"" +
                            QByteArray::fromStdString(tree.file("caf\xe9.mdb")).toBase64() + '"';
    const auto labels = [&](const std::string& name) { return Label(tree.file(name)); };
    const std::vector<std::tuple<QByteArray, int, const char*>> inUse{
        {labels("record.mdb"), 2, "record"},
        {labels(quote), 1, "page"},
        {labels(newline), 1, "page"},
        {cafe, 1, "page"},
        {labels("open.accdb"), 1, "unknown"}};
    QList<QByteArray> connections, modes;
    for (const auto& [path, count, mode] : inUse) {
      connections << "quillet_database_connections{" + path + "} " + QByteArray::number(count);
      modes << "quillet_database_mode{" + path + ",mode=\"" + mode + "\"} 1";
    }
    std::sort(connections.begin(), connections.end());
    std::sort(modes.begin(), modes.end());
    QCOMPARE(Samples(text, "quillet_database_connections"), connections);
    QCOMPARE(Samples(text, "quillet_database_mode"), modes);
    QCOMPARE(Samples(text, "quillet_stale_lock_file_changed_timestamp_seconds"),
             QList<QByteArray>{"quillet_stale_lock_file_changed_timestamp_seconds{" +
                               labels("old.mdb") + "} 1600000000.5"});
    for (const char* sample : {"quillet_path_series_omitted 0", "quillet_unreadable_folders 0",
                               "quillet_scan_success 1"})
      QCOMPARE(Samples(text, QByteArray(sample).split(' ')[0]), QList<QByteArray>{sample});
    const double finished =
        Samples(text, "quillet_scan_timestamp_seconds").value(0).split(' ')[1].toDouble();
    QVERIFY2(std::abs(finished - double(::time(nullptr))) < 30,
             qPrintable(QString::number(finished)));
    QVERIFY(text.contains("# TYPE quillet_samba_share_finding gauge\n"));
    const QList<QByteArray> findings{
        "quillet_samba_share_finding{share=\"data\",id=\"fake-oplocks\"} 1",
        "quillet_samba_share_finding{share=\"data\",id=\"oplocks\"} 1"};
    QCOMPARE(Samples(text, "quillet_samba_share_finding"),
             QFile::exists("/usr/bin/testparm") ? findings : QList<QByteArray>());
    QVERIFY(FamiliesTogether(text));

    if (!QFile::exists(kPromtool)) QSKIP("promtool is not installed (Debian's prometheus)");
    QCOMPARE(PromtoolComplaints(text), QString());
  }

  // A share with more paths in use or left behind than the cap gives the first ones a series
  // each and counts the rest; the states still count them all.
  void pathSeriesAreCapped() {
    constexpr int kCap = 200, kMore = 5;
    TempFolder tree;
    for (int i = 0; i < kCap + kMore; ++i) {
      const std::string name = QString("db%1").arg(i, 3, 10, QChar('0')).toStdString();
      tree.database(name + ".mdb");
      tree.write(name + ".ldb", JetRecord("WS-1", "Admin"));
    }
    OtherProcess scan({"scan", tree.path, "--metrics"});
    const QByteArray text = QByteArray::fromStdString(scan.output());
    QCOMPARE(scan.stop(), 0);
    QCOMPARE(Samples(text, "quillet_stale_lock_file_changed_timestamp_seconds").size(), kCap);
    QVERIFY(!text.contains(Label(tree.file("db200.mdb"))));
    QCOMPARE(Samples(text, "quillet_path_series_omitted"),
             QList<QByteArray>{"quillet_path_series_omitted " + QByteArray::number(kMore)});
    QVERIFY(text.contains("quillet_databases{state=\"stale lock file\"} 205\n"));
  }

  // --metrics-file writes the figures whole (readable by the node exporter's user) and
  // nothing else, with scan's exit statuses; a file it cannot write is exit 3 and leaves the
  // old one as it was.
  void metricsFile_data() {
    // dirs: in "{}", the tree, quiet/ has a closed database, held/ one held; out: the file,
    // "{o}" its folder
    Columns<QString, QString, bool, int, QByteArray, QString>("dirs", "out", "nobody", "exitCode",
                                                              "written", "errors");
    QTest::newRow("nobody in") << "{}/quiet"
                               << "{o}/quillet.prom" << false << 0
                               << QByteArray("quillet_scan_success 1\n") << "";
    QTest::newRow("someone in") << "{}/held"
                                << "{o}/quillet.prom" << false << 5
                                << QByteArray("quillet_databases{state=\"open\"} 1\n") << "";
    QTest::newRow("a DIR that cannot be read")
        << "{}/absent {}/quiet"
        << "{o}/quillet.prom" << false << 1
        << QByteArray("quillet_unreadable_folders 1\nquillet_scan_success 0\n")
        << "quilletctl: cannot read folder '{}/absent': No such file or directory\n";
    QTest::newRow("a folder that is missing")
        << "{}/quiet"
        << "{o}/missing/quillet.prom" << false << 3 << QByteArray()
        << "quilletctl: cannot write metrics file '{o}/missing/quillet.prom': ";
    QTest::newRow("as nobody, a folder not writable")
        << "{}/quiet"
        << "{o}/quillet.prom" << true << 3 << QByteArray()
        << "quilletctl: cannot write metrics file '{o}/quillet.prom': ";
  }
  void metricsFile() {
    const auto [dirs, out, nobody, exitCode, written, errors] =
        Fetch<QString, QString, bool, int, QByteArray, QString>("dirs", "out", "nobody", "exitCode",
                                                                "written", "errors");
    if (nobody && ::geteuid() != 0) QSKIP("needs root to run as nobody");
    TempFolder tree, output;
    QCOMPARE(::chmod(tree.path.c_str(), 0755), 0);
    QCOMPARE(::chmod(output.path.c_str(), 0755), 0);
    for (const char* folder : {"held", "quiet"})
      QCOMPARE(::mkdir(tree.file(folder).c_str(), 0755), 0);
    tree.database("quiet/closed.mdb");
    OtherProcess holder({"hold", tree.database("held/in.mdb")});
    QVERIFY(holder.line().starts_with("holding"));
    const QByteArray old = "# an older scan's figures\n";
    output.write("quillet.prom", old);
    const auto expand = [&](QString text) {
      return text.replace("{o}", QString::fromStdString(output.path))
          .replace("{}", QString::fromStdString(tree.path));
    };
    std::vector<std::string> arguments{"scan", "--metrics-file", expand(out).toStdString()};
    for (const QString& dir : dirs.split(' ')) arguments.push_back(expand(dir).toStdString());
    OtherProcess scan(arguments, nobody ? OtherProcess::kNobody : uid_t(-1), [] { ::umask(022); });
    QCOMPARE(scan.output(), std::string());
    QVERIFY2(QString::fromStdString(scan.errors()).startsWith(expand(errors)),
             scan.errors().c_str());
    QCOMPARE(scan.stop(), exitCode);

    const QByteArray file = ReadBytes(output.file("quillet.prom"));
    QCOMPARE(std::distance(std::filesystem::directory_iterator(output.path), {}), 1);
    if (written.isEmpty()) {
      QCOMPARE(file, old);
      return;
    }
    for (const QByteArray& sample : written.split('\n'))
      QVERIFY2(file.contains(sample + '\n'), sample.constData());
    struct stat info;
    QCOMPARE(::stat(output.file("quillet.prom").c_str(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0644));
  }

  // The packaged service's command, run as its unit says, gives a file that a real node
  // exporter's textfile collector serves without a scrape error.
  void nodeExporterServesTheServicesFile() {
    if (!QFile::exists(kNodeExporter) || !QFile::exists(kCurl))
      QSKIP("prometheus-node-exporter or curl is not installed");
    TempFolder tree, textfiles;
    tree.database("closed.mdb");
    QFile unit(QUILLET_PACKAGING "/quillet-scan.service.in");
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QStringList command;
    for (const QByteArray& line : unit.readAll().split('\n')) {
      if (line.startsWith("ExecStart=")) command = QString(line.mid(10)).split(' ');
    }
    QCOMPARE(command.value(0), "@QUILLETCTL@");
    for (QString& word : command) {
      word.replace("@QUILLETCTL@", QuilletctlPath())
          .replace("/var/lib/prometheus/node-exporter", QString::fromStdString(textfiles.path))
          .replace("$QUILLET_SCAN_FOLDERS", QString::fromStdString(tree.path));
    }
    QCOMPARE(QProcess::execute(command[0], command.mid(1)), 0);

    const QByteArray scraped = ScrapeNodeExporter(textfiles.path);
    QVERIFY2(scraped.contains("\nnode_textfile_scrape_error 0\n"), scraped.constData());
    for (const char* sample :
         {"\nquillet_scan_success 1\n", "\nquillet_databases{state=\"closed\"} 1\n",
          "\nquillet_path_series_omitted 0\n"})
      QVERIFY2(scraped.contains(sample), sample);
  }

 private:
  // Starts a node exporter with only the textfile collector on a free loopback port, and
  // returns what one scrape of it gives ("" if it never answered).
  static QByteArray ScrapeNodeExporter(const std::string& textfiles) {
    for (int port = 20000 + ::getpid() % 20000, tries = 0; tries < 5; ++tries, ++port) {
      QProcess exporter;
      exporter.start(kNodeExporter,
                     {"--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=" + QString::fromStdString(textfiles),
                      "--web.listen-address=127.0.0.1:" + QString::number(port)});
      exporter.waitForStarted();
      for (int wait = 0; wait < 100 && exporter.state() == QProcess::Running; ++wait) {
        QProcess curl;
        curl.start(kCurl, {"-sf", "http://127.0.0.1:" + QString::number(port) + "/metrics"});
        curl.waitForFinished();
        if (curl.exitCode() == 0) {
          exporter.terminate();
          exporter.waitForFinished();
          return '\n' + curl.readAllStandardOutput();
        }
        QThread::msleep(100);
      }
      exporter.kill();  // its port was taken, or it never answered: the next port
      exporter.waitForFinished();
    }
    return {};
  }
};

QTEST_GUILESS_MAIN(ScanMetricsTest)
#include "ScanMetricsTest.moc"
