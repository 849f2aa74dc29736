// scan: who is in every database under some folders, told from their locks without
// joining any of them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <QJsonValue>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/engine/AccessFiles.h"
#include "platform/engine/DatabaseScan.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/LockFile.h"
#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaFindings.h"
#include "platform/samba/SambaStatus.h"
#include "tools/Commands.h"
#include "tools/Metrics.h"

namespace quilletctl {
namespace {

using quillet::DatabaseScan;
using quillet::UniqueFd;
using quillet::posix::FolderEntry;

// A line on standard error while a scan runs longer than a second, only for someone
// watching a terminal.
class Progress {
 public:
  Progress() : shown_(quillet::posix::IsTerminal(STDERR_FILENO)) {}
  ~Progress() { clear(); }

  void update(size_t folders, size_t databases, size_t looked) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
      return;
    last_ = now;
    std::fprintf(stderr, "\rquilletctl: scan: %zu folders, %zu of %zu databases looked at\033[K",
                 folders, looked, databases);
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

bool NamedLikeDatabase(const std::string& name) {
  return quillet::IsJetDatabaseName(name) || quillet::IsAccessDatabaseName(name);
}

// x.mdb and x.mde share x.ldb, x.accdb and x.accde share x.laccdb.
std::string LockFileName(const std::string& database) {
  return quillet::IsAccessDatabaseName(database) ? quillet::AccessLockFilePath(database)
                                                 : quillet::LockFilePath(database);
}

bool NamedLikeLockFile(const std::string& name) {
  return quillet::IsLockFileName(name) || quillet::IsAccessLockFileName(name);
}

// Every database and orphan lock file under the folders, in name order, each folder's own
// files before its subfolders. Links are never followed, so a loop of them cannot trap it.
class Walk {
 public:
  explicit Walk(Progress* progress) : progress_(progress) {}

  // False if `folder` cannot be read at all; a folder inside it that cannot be is reported,
  // skipped, and remembered in skipped().
  bool add(const QByteArray& folder) {
    const std::string path = folder.toStdString();
    // A link named on the command line is followed, as the user asked for that folder.
    const UniqueFd fd(quillet::posix::Open(path, O_RDONLY | O_DIRECTORY));
    if (!fd.valid()) {
      cannotRead(path, errno);
      return false;
    }
    walk(fd.get(), path);
    return true;
  }

  // What the listings said of a database or an orphan lock file.
  struct Listed {
    std::string path;
    bool orphanLockFile;
    bool lockFileListed;
  };
  std::vector<Listed>& found() { return found_; }
  size_t folders() const { return folders_; }
  bool skipped() const { return skipped_; }
  size_t unreadable() const { return unreadable_; }

 private:
  static bool ByName(const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; }

  void cannotRead(const std::string& path, int error) {
    ++unreadable_;
    progress_->clear();
    std::fprintf(stderr, "quilletctl: cannot read folder '%s': %s\n", Escaped(path).constData(),
                 std::strerror(error));
  }

  // Walks the folder open as `fd`; what cannot be listed of it is reported and skipped.
  void walk(int fd, const std::string& path) {
    ++folders_;
    std::vector<FolderEntry> entries;
    const int listError = quillet::posix::ListFolder(fd, &entries);
    const bool whole = listError == 0;
    if (!whole) cannotRead(path, listError);
    std::sort(entries.begin(), entries.end(), ByName);

    const std::string prefix = path.ends_with('/') ? path : path + '/';
    std::vector<std::string> lockFilesOfDatabases;
    for (FolderEntry& entry : entries) {
      struct stat info;
      if (entry.type == DT_UNKNOWN && quillet::posix::StatAt(fd, entry.name, &info) == 0)
        entry.type = IFTODT(info.st_mode);
      if (entry.type != DT_DIR && entry.type != DT_LNK && NamedLikeDatabase(entry.name))
        lockFilesOfDatabases.push_back(LockFileName(entry.name));
    }
    std::sort(lockFilesOfDatabases.begin(), lockFilesOfDatabases.end());
    const auto listed = [&](const std::string& name) {
      return std::binary_search(entries.begin(), entries.end(), FolderEntry{name}, ByName);
    };
    std::vector<std::string> subfolders;
    for (const FolderEntry& entry : entries) {
      if (entry.type == DT_DIR) {
        subfolders.push_back(entry.name);
      } else if (entry.type != DT_LNK && NamedLikeDatabase(entry.name)) {
        found_.push_back(
            Listed{prefix + entry.name, false, !whole || listed(LockFileName(entry.name))});
      } else if (entry.type == DT_REG && NamedLikeLockFile(entry.name) &&
                 !std::binary_search(lockFilesOfDatabases.begin(), lockFilesOfDatabases.end(),
                                     entry.name)) {
        found_.push_back(Listed{prefix + entry.name, true, true});
      }
    }
    progress_->update(folders_, found_.size(), 0);

    for (const std::string& name : subfolders) {
      const UniqueFd child(quillet::posix::OpenAt(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
      if (child.valid()) {
        walk(child.get(), prefix + name);
      } else {
        cannotRead(prefix + name, errno);
        skipped_ = true;
      }
    }
    skipped_ = skipped_ || !whole;
  }

  Progress* progress_;
  std::vector<Listed> found_;
  size_t folders_ = 0;
  size_t unreadable_ = 0;
  bool skipped_ = false;
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

// Samba's table, read once for the whole scan: a client of the Samba server here may hold
// a database (or its lock file) open without a lock, as an exclusive open does; it is in
// all the same, and named. Costs nothing per database while nobody has a file open. Whether
// the table could be read.
bool AddSambaOpens(std::vector<DatabaseScan>* scans) {
  const quillet::SambaTable table = quillet::SambaStatusReader::Shared().read();
  if (!table.read || table.opens.empty()) return table.read;
  for (DatabaseScan& scan : *scans) {
    if (scan.absent || scan.state == DatabaseScan::State::kNotADatabase) continue;
    std::vector<quillet::SambaOpen> opens;
    for (const std::string& file : {scan.path, scan.lockFile}) {
      struct stat info;
      if (file.empty() || quillet::posix::Stat(file, &info) != 0) continue;
      for (quillet::SambaOpen& open : quillet::OpensOf(table, info.st_dev, info.st_ino))
        opens.push_back(std::move(open));
    }
    if (opens.empty()) continue;
    std::string clients;
    for (const quillet::SambaOpen& open : opens) {
      clients += (clients.empty() ? "" : ", ") + open.machine + " (" + open.user + ", " +
                 open.shareMode + ")";
      quillet::LockFileUser user;
      user.slot = -1;
      user.computer = open.machine;
      user.account = open.user;
      user.state = quillet::LockFileUser::State::kOpenWithoutLock;
      user.exclusive = open.shutsOutOthers;
      user.address = open.address;
      scan.users.push_back(std::move(user));
    }
    scan.state = DatabaseScan::State::kOtherEngine;
    scan.mode = quillet::LockingMode::kUnknown;
    scan.reason = "open through Samba by " + clients;
  }
  return true;
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
  quillet::DatabaseScanner scanner;  // before the folders are listed
  Progress progress;
  Walk walk(&progress);
  bool unreadable = false;
  for (const QByteArray& folder : folders) unreadable = !walk.add(folder) || unreadable;

  std::vector<DatabaseScan> found(walk.found().size());
  for (size_t i = 0; i < found.size(); ++i) {
    Walk::Listed& listed = walk.found()[i];
    found[i].path = std::move(listed.path);
    found[i].orphanLockFile = listed.orphanLockFile;
    found[i].lockFileListed = listed.lockFileListed;
    found[i].access = quillet::IsAccessDatabaseName(found[i].path) ||
                      (listed.orphanLockFile && quillet::IsAccessLockFileName(found[i].path));
  }
  scanner.Scan(&found,
               [&](size_t looked) { progress.update(walk.folders(), found.size(), looked); });
  const bool sambaRead = AddSambaOpens(&found);
  progress.clear();

  // A folder that could not be read may hide someone: as unsure as an unknown database.
  bool inUse = walk.skipped();
  for (const DatabaseScan& scan : found) inUse = inUse || (!scan.absent && scan.mayBeInUse());
  const int status = unreadable ? kExitEngineError : inUse ? kExitInUse : kExitOk;
  // Samba's configuration, read once for the whole scan where its shares are reported.
  ServingByFolder samba(json || metrics.wanted ? quillet::SambaConfigReader::Shared().read()
                                               : std::make_shared<const quillet::SambaConfig>());
  if (metrics.wanted) {
    ScanFigures figures{&found, walk.unreadable(), !unreadable, sambaRead, SecondsSince(start), 0,
                        {}};
    figures.shareFindings = ShareFindings(found, samba);
    return PrintMetrics(metrics, std::move(figures), status);
  }
  QByteArray output;  // written in large pieces: a line at a time would cost a call each
  for (const DatabaseScan& scan : found) {
    if (scan.absent) continue;
    output += json ? JsonLine(scan, samba) : TextLine(scan);
    if (output.size() >= 65536 && !Print(std::exchange(output, QByteArray()))) break;
  }
  Print(output);
  return Finish(status);
}

}  // namespace quilletctl
