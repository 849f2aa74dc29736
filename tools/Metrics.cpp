#include "tools/Metrics.h"

#include <sys/stat.h>

#include <QFile>
#include <QSaveFile>
#include <array>
#include <set>
#include <utility>

#include "platform/base/Posix.h"

namespace quilletctl {
namespace {

using quillet::DatabaseScan;
using State = DatabaseScan::State;

// The scan's states as its text lines name them, each with a sample even when none is found.
constexpr std::array<std::pair<State, const char*>, 6> kStates{{
    {State::kClosed, "closed"},
    {State::kOpen, "open"},
    {State::kOtherEngine, "other engine"},
    {State::kStaleLockFile, "stale lock file"},
    {State::kUnknown, "unknown"},
    {State::kNotADatabase, "not a database"},
}};

QByteArray Escaped(const QByteArray& value) {
  QByteArray escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

QByteArray Number(double value) { return QByteArray::number(value, 'g', 15); }

// One family: HELP and TYPE, then its samples, each "{labels} value".
class Family {
 public:
  Family(const char* name, const QByteArray& help) : name_(name) {
    text_ = "# HELP " + name_ + ' ' + help + "\n# TYPE " + name_ + " gauge\n";
  }
  void add(const QByteArray& labels, double value) {
    text_ +=
        name_ + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' ' + Number(value) + '\n';
  }
  const QByteArray& text() const { return text_; }

 private:
  QByteArray name_;
  QByteArray text_;
};

QByteArray Label(const char* name, const QByteArray& value) {
  return QByteArray(name) + "=\"" + Escaped(value) + '"';
}

// path="..." and, for bytes that are not UTF-8, path_base64="..." with the exact bytes: the
// text alone could name two paths at once.
QByteArray PathLabels(const std::string& path) {
  const QByteArray bytes = QByteArray::fromStdString(path);
  const QString text = QFile::decodeName(bytes);
  QByteArray labels = Label("path", text.toUtf8());
  if (QFile::encodeName(text) != bytes) labels += ',' + Label("path_base64", bytes.toBase64());
  return labels;
}

int Connections(const DatabaseScan& scan) {
  int samba = 0;
  for (const quillet::LockFileUser& user : scan.users)
    samba += user.state == quillet::LockFileUser::State::kOpenWithoutLock;
  return scan.liveHere + scan.liveElsewhere + samba;
}

// The per-path families, at most kMaxPathSeries paths; returns how many were left out.
size_t AddPathSeries(const std::vector<DatabaseScan>& scans, Family* connections, Family* modes,
                     Family* staleSince) {
  std::set<std::string> seen;  // a DIR named twice lists its databases twice
  size_t omitted = 0;
  for (const DatabaseScan& scan : scans) {
    const bool inUse = scan.state == State::kOpen || scan.state == State::kOtherEngine;
    const bool stale = scan.state == State::kStaleLockFile;
    if (scan.absent || (!inUse && !stale) || !seen.insert(scan.path).second) continue;
    if (seen.size() > kMaxPathSeries) {
      ++omitted;
      continue;
    }
    const QByteArray path = PathLabels(scan.path);
    struct stat info;
    if (inUse) {
      connections->add(path, Connections(scan));
      modes->add(path + ',' + Label("mode", quillet::LockingModeWord(scan.mode)), 1);
    } else if (quillet::posix::Lstat(scan.lockFile, &info) == 0) {
      staleSince->add(path, double(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9);
    }
  }
  return omitted;
}

Family DatabaseCounts(const std::vector<DatabaseScan>& scans) {
  Family family("quillet_databases",
                "Databases found by the scan (.mdb, .mde, .accdb, .accde, and lock files whose "
                "database is missing), by state.");
  std::set<std::string> seen;
  std::array<int, kStates.size()> counts{};
  for (const DatabaseScan& scan : scans) {
    if (scan.absent || !seen.insert(scan.path).second) continue;
    for (size_t i = 0; i < kStates.size(); ++i) counts[i] += kStates[i].first == scan.state;
  }
  for (size_t i = 0; i < kStates.size(); ++i)
    family.add(Label("state", kStates[i].second), counts[i]);
  return family;
}

}  // namespace

QByteArray MetricsText(const ScanFigures& figures) {
  const std::vector<DatabaseScan> none;
  const std::vector<DatabaseScan>& scans = figures.scans ? *figures.scans : none;
  Family connections("quillet_database_connections",
                     "Connections seen to a database someone is in: this engine's, records "
                     "another engine holds, and opens only Samba's table shows.");
  Family modes("quillet_database_mode",
               "The locking mode of a database someone is in (1): page, record, exclusive, or "
               "unknown where another engine is in.");
  Family staleSince("quillet_stale_lock_file_changed_timestamp_seconds",
                    "When a lock file nobody holds last changed (its modification time), in "
                    "Unix time: it has been left behind since then at the latest.");
  const size_t omitted = AddPathSeries(scans, &connections, &modes, &staleSince);
  Family omittedFamily("quillet_path_series_omitted",
                       "Databases in use and stale lock files left out of the per-path families "
                       "past the first " +
                           QByteArray::number(qulonglong(kMaxPathSeries)) + " paths.");
  omittedFamily.add({}, double(omitted));
  Family unreadable("quillet_unreadable_folders",
                    "Folders the scan could not read: whoever is in there cannot be told.");
  unreadable.add({}, double(figures.unreadableFolders));
  Family samba("quillet_samba_status_read",
               "Whether Samba's table of open files was read (1): it is, as root, where an smbd "
               "runs on this computer.");
  samba.add({}, figures.sambaRead ? 1 : 0);
  Family findings("quillet_samba_share_finding",
                  "A risky setting of a Samba share serving a database the scan found (1), by "
                  "share and finding id (quilletctl doctor's).");
  for (const ShareFinding& finding : figures.shareFindings)
    findings.add(Label("share", QByteArray::fromStdString(finding.share)) + ',' +
                     Label("id", QByteArray::fromStdString(finding.id)),
                 1);
  Family duration("quillet_scan_duration_seconds", "How long the scan took, in seconds.");
  duration.add({}, figures.durationSeconds);
  Family success("quillet_scan_success",
                 "Whether every folder named to the scan could be read (1) or not (0).");
  success.add({}, figures.success ? 1 : 0);
  Family finished("quillet_scan_timestamp_seconds", "When the scan ended, in Unix time.");
  finished.add({}, figures.finishedAt);
  const Family counts = DatabaseCounts(scans);
  QByteArray text;
  for (const Family* family : std::initializer_list<const Family*>{
           &counts, &connections, &modes, &staleSince, &omittedFamily, &unreadable, &samba,
           &findings, &duration, &success, &finished})
    text += family->text();
  return text;
}

bool WriteMetricsFile(const QByteArray& path, const QByteArray& text, std::string* error) {
  QSaveFile file(QFile::decodeName(path));
  if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
    *error = file.errorString().toStdString();
    return false;
  }
  return true;
}

}  // namespace quilletctl
