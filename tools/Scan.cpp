// scan: who is in every database under some folders, told from their locks without
// joining any of them.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <QJsonValue>

#include "platform/base/Posix.h"
#include "platform/engine/FolderWalk.h"
#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaFindings.h"
#include "tools/Commands.h"
#include "tools/Metrics.h"

namespace quilletctl {
namespace {

using quillet::DatabaseScan;

// A line on standard error while a scan runs longer than a second, only for someone
// watching a terminal.
class Progress {
 public:
  Progress() : shown_(quillet::posix::IsTerminal(STDERR_FILENO)) {}
  ~Progress() { clear(); }

  void update(const quillet::FolderScanProgress& at) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
      return;
    last_ = now;
    std::fprintf(stderr, "\rquilletctl: scan: %zu folders, %zu of %zu databases looked at\033[K",
                 at.folders, at.looked, at.databases);
    std::fflush(stderr);
    drawn_ = true;
  }
  // Before an error message, and at the end.
  void clear() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  const bool shown_;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point last_;
  bool drawn_ = false;
};

const char* StateName(DatabaseScan::State state) {
  switch (state) {
    case DatabaseScan::State::kClosed: return "closed";
    case DatabaseScan::State::kOpen: return "open";
    case DatabaseScan::State::kOtherEngine: return "other engine";
    case DatabaseScan::State::kStaleLockFile: return "stale lock file";
    case DatabaseScan::State::kNotADatabase: return "not a database";
    case DatabaseScan::State::kUnknown: break;
  }
  return "unknown";
}

// One line whatever the path and reason hold: a name with a newline and tabs must not
// print a line of its own.
QByteArray TextLine(const DatabaseScan& scan) {
  const char* mode =
      scan.mode == quillet::LockingMode::kUnknown ? "-" : quillet::LockingModeWord(scan.mode);
  QByteArray line = QByteArray(StateName(scan.state)) + '\t' + mode + '\t' +
                    QByteArray::number(scan.liveHere) + '\t' +
                    QByteArray::number(scan.liveElsewhere) + '\t' +
                    QByteArray::number(scan.leftBehind) + '\t' + Escaped(scan.path);
  if (!scan.reason.empty()) line += '\t' + Escaped(scan.reason);
  return line + '\n';
}

// The shares of Samba's configuration serving the databases of one folder after another: the
// folder's path resolved once, not once per database.
class ServingByFolder {
 public:
  explicit ServingByFolder(std::shared_ptr<const quillet::SambaConfig> config)
      : config_(std::move(config)) {}
  const quillet::SambaConfig& config() const { return *config_; }
  const std::vector<quillet::ServingShare>& of(const std::string& path) {
    const std::string folder = path.substr(0, path.find_last_of('/') + 1);
    if (!looked_ || folder != folder_) {
      serving_ = config_->read ? quillet::SharesServing(*config_, path)
                               : std::vector<quillet::ServingShare>();
      folder_ = folder;
      looked_ = true;
    }
    return serving_;
  }

 private:
  std::shared_ptr<const quillet::SambaConfig> config_;
  bool looked_ = false;
  std::string folder_;
  std::vector<quillet::ServingShare> serving_;
};

QByteArray JsonLine(const DatabaseScan& scan, ServingByFolder& samba) {
  QJsonObject object{
      {"state", StateName(scan.state)},
      {"mode", ModeJson(scan.mode)},
      {"liveHere", scan.liveHere},
      {"liveElsewhere", scan.liveElsewhere},
      {"leftBehind", scan.leftBehind},
      {"users", UsersJson(scan.users)},
      {"sambaOpens", SambaOpensJson(scan.users)},
      {"reason",
       scan.reason.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(scan.reason))}};
  AddPathField(&object, "path", QByteArray::fromStdString(scan.path));
  if (scan.lockFile.empty()) {
    object.insert("lockFile", QJsonValue());
  } else {
    AddPathField(&object, "lockFile", QByteArray::fromStdString(scan.lockFile));
  }
  AddMountFields(scan.mount, &object);
  AddSambaShareFields(samba.config(),
                      quillet::ServingFindingIds(samba.config(), samba.of(scan.path), scan.path),
                      &object);
  return quilletctl::JsonLine(object);
}

// The findings of the shares that serve the databases found, each share and id once. A share
// that only may serve them (its folder filled in per user, as Samba's default [homes]) gives
// none: it would flag every server with a [homes] share.
// Each share is judged once for the names of all the databases it serves, which finds what
// judging it for each database would, together.
std::vector<ShareFinding> ShareFindings(const std::vector<DatabaseScan>& scans,
                                        ServingByFolder& samba) {
  std::map<const quillet::SambaSection*, std::set<std::string>> names;
  for (const DatabaseScan& scan : scans) {
    if (scan.absent) continue;
    for (const quillet::ServingShare& serving : samba.of(scan.path)) {
      if (!serving.certain) continue;
      for (std::string& name : quillet::JudgedNames(scan.path))
        names[serving.share].insert(std::move(name));
    }
  }
  std::vector<ShareFinding> findings;
  for (const auto& [share, judged] : names) {
    const std::vector<std::string> list(judged.begin(), judged.end());
    for (const quillet::SambaFinding& finding : quillet::FindingsOf(samba.config(), *share, list))
      findings.push_back({share->name, finding.id});
  }
  return findings;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// scan --metrics and --metrics-file: the figures instead of a line per database.
int PrintMetrics(const MetricsRequest& request, ScanFigures figures, int status) {
  figures.finishedAt =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const QByteArray text = MetricsText(figures);
  if (request.file.isEmpty()) {
    Print(text);
    return Finish(status);
  }
  std::string error;
  if (!WriteMetricsFile(request.file, text, &error)) {
    std::fprintf(stderr, "quilletctl: cannot write metrics file '%s': %s\n",
                 request.file.constData(), error.c_str());
    Finish(status);
    return kExitSystem;
  }
  return Finish(status);
}

}  // namespace

int Scan(const QList<QByteArray>& folders, bool json, const MetricsRequest& metrics) {
  const auto start = std::chrono::steady_clock::now();
  Progress progress;
  const quillet::FolderScanEvents events{
      [&](const std::string& folder, int error) {
        progress.clear();
        std::fprintf(stderr, "quilletctl: cannot read folder '%s': %s\n",
                     Escaped(folder).constData(), std::strerror(error));
      },
      [&](const quillet::FolderScanProgress& at) { progress.update(at); }};
  std::vector<std::string> paths;
  for (const QByteArray& folder : folders) paths.push_back(folder.toStdString());
  const quillet::FolderScan scan = quillet::ScanFolders(paths, events);
  progress.clear();

  // A folder that could not be read may hide someone: as unsure as an unknown database.
  const int status = !scan.everyNamedFolderOpened ? kExitEngineError
                     : scan.mayBeInUse()          ? kExitInUse
                                                  : kExitOk;
  // Samba's configuration, read once for the whole scan where its shares are reported.
  ServingByFolder samba(json || metrics.wanted ? quillet::SambaConfigReader::Shared().read()
                                               : std::make_shared<const quillet::SambaConfig>());
  if (metrics.wanted) {
    ScanFigures figures{&scan.databases,
                        scan.unreadableFolders,
                        scan.everyNamedFolderOpened,
                        scan.otherOpenersRead,
                        SecondsSince(start),
                        0,
                        {}};
    figures.shareFindings = ShareFindings(scan.databases, samba);
    return PrintMetrics(metrics, std::move(figures), status);
  }
  QByteArray output;  // written in large pieces: a line at a time would cost a call each
  for (const DatabaseScan& database : scan.databases) {
    if (database.absent) continue;
    output += json ? JsonLine(database, samba) : TextLine(database);
    if (output.size() >= 65536 && !Print(std::exchange(output, QByteArray()))) break;
  }
  Print(output);
  return Finish(status);
}

}  // namespace quilletctl
