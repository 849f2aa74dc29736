#include "platform/samba/SambaConfigReader.h"

#include <unistd.h>

#include <QByteArrayList>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/base/Posix.h"
#include "platform/samba/LimitedRun.h"
#include "platform/samba/SambaPrograms.h"
#include "platform/samba/SambaShares.h"
#include "platform/samba/SambaUsershares.h"

namespace quillet {

namespace {

// A configuration of hundreds of shares prints well under a megabyte, with -d4 included.
constexpr size_t kMaxOutput = 8 << 20;

struct ConfigRun {
  SambaConfig config;
  std::vector<std::string> watched;
  bool retry = false;  // no answer at all: worth another try after a while
};

SambaConfig NotRead(std::string reason) {
  SambaConfig config;
  config.reason = std::move(reason);
  return config;
}

// The first line of testparm's complaint, past the lines -d4 adds to every run.
std::string Complaint(const QByteArray& err) {
  static constexpr std::string_view kChatter[] = {
      "Load smb config files from", "doing parameter", "Processing section",      "lp_load_ex",
      "Initialising global",        "pm_process()",    "Can't find include file", "rlimit_max:"};
  std::string fallback = "no message";
  for (const QByteArray& raw : err.split('\n')) {
    const std::string line = raw.trimmed().left(200).toStdString();
    if (line.empty()) continue;
    bool chatter = false;
    for (const std::string_view start : kChatter) chatter = chatter || line.starts_with(start);
    if (chatter) continue;
    if (line != "Error loading services.") return line;
    fallback = line;
  }
  return fallback;
}

ConfigRun Failed(const LimitedRun& run, const std::string& program,
                 std::chrono::milliseconds limit) {
  using End = LimitedRun::End;
  ConfigRun result;
  result.retry = run.end != End::kExited;
  switch (run.end) {
    case End::kNotStarted:
      result.config =
          NotRead(program + " could not be started: " + std::generic_category().message(run.code));
      return result;
    case End::kTimedOut:
      result.config =
          NotRead("testparm did not answer within " + std::to_string(limit.count()) + " ms");
      return result;
    case End::kTooMuchOutput:
      result.config =
          NotRead("testparm printed more than " + std::to_string(kMaxOutput >> 20) + " MiB");
      return result;
    case End::kSignalled:
      result.config = NotRead("testparm was ended by signal " + std::to_string(run.code));
      return result;
    case End::kExited: break;
  }
  const std::string file = TestparmLoadedFile(run.err);
  const int unreadable = file.empty() ? 0 : posix::Access(file, R_OK);
  if (unreadable != 0)
    result.config = NotRead(file + " cannot be read: " + std::strerror(unreadable));
  else if (!file.empty())
    result.config = NotRead("testparm could not load " + file + ": " + Complaint(run.err));
  else
    result.config = NotRead("testparm failed (exit status " + std::to_string(run.code) +
                            "): " + Complaint(run.err));
  if (!file.empty()) result.watched.push_back(file);
  return result;
}

// What else the answer comes from, beside testparm and the configuration file.
void AddSources(SambaConfig& config, std::vector<std::string>* watched) {
  watched->push_back(config.file);
  watched->insert(watched->end(), config.includes.begin(), config.includes.end());
  if (config.flag(config.global, "registry shares").value_or(false) ||
      config.value(config.global, "config backend") == "registry")
    watched->push_back(config.value(config.global, "state directory") + "/registry.tdb");
  if (const std::string folder = AddUsershares(&config); !folder.empty())
    watched->push_back(folder);
  ResolveSharePaths(&config);
}

ConfigRun Run(const SambaConfigOptions& options) {
  ConfigRun result;
  const std::string program = options.program.empty() ? SambaProgram("testparm") : options.program;
  if (program.empty()) {
    for (const std::string_view folder : kSambaInstallFolders)
      result.watched.push_back(std::string(folder) + "/testparm");
    result.config = NotRead("Samba is not installed (no testparm in its install folders)");
    return result;
  }
  const LimitedRun run = RunLimited(program, {"-s", "-v", "-d4"}, options.limit, kMaxOutput);
  if (run.end != LimitedRun::End::kExited || run.code != 0) {
    result = Failed(run, program, options.limit);
  } else {
    result.config = ParseTestparm(run.out, run.err);
    if (result.config.read) AddSources(result.config, &result.watched);
  }
  result.watched.insert(result.watched.begin(), program);
  return result;
}

std::optional<std::string> ConfigPathVariable() {
  const char* value = std::getenv("SMB_CONF_PATH");
  return value ? std::optional<std::string>(value) : std::nullopt;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return error == other.error && device == other.device && inode == other.inode &&
         size == other.size && SameTime(modified, other.modified) &&
         SameTime(changed, other.changed);
}

FileStamp StampOf(const std::string& path) {
  struct stat info;
  if (const int error = posix::Stat(path, &info); error != 0) return FileStamp{error};
  return FileStamp{0, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

SambaConfig ReadSambaConfig(const SambaConfigOptions& options) { return Run(options).config; }

SambaConfigReader::SambaConfigReader(SambaConfigOptions options) : options_(std::move(options)) {}

bool SambaConfigReader::stillValid() const {
  if (!answer_ || readAgain_ || ConfigPathVariable() != configPath_) return false;
  if (retryAt_ && options_.now() >= *retryAt_) return false;
  for (const auto& [path, stamp] : watched_) {
    if (!(StampOf(path) == stamp)) return false;
  }
  return true;
}

void SambaConfigReader::remember(SambaConfig config, const std::vector<std::string>& watched,
                                 bool retry, std::chrono::system_clock::time_point startedAt) {
  watched_.clear();
  readAgain_ = false;
  // A file whose time is not clearly before the run may have changed while testparm read
  // it: read again at the next question. (File times come from a coarse clock, and the
  // moment between a write and the run that follows it can be long on a busy machine.)
  const auto before = startedAt - std::chrono::seconds(1);
  for (const std::string& path : watched) {
    const FileStamp stamp = StampOf(path);
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(stamp.modified.tv_sec) +
            std::chrono::nanoseconds(stamp.modified.tv_nsec)));
    readAgain_ = readAgain_ || (stamp.error == 0 && modified >= before);
    watched_.emplace_back(path, stamp);
  }
  retryAt_.reset();
  if (retry) retryAt_ = options_.now() + options_.retryAfter;
  answer_ = std::make_shared<const SambaConfig>(std::move(config));
}

std::shared_ptr<const SambaConfig> SambaConfigReader::read() {
  std::lock_guard lock(mutex_);
  if (stillValid()) return answer_;
  configPath_ = ConfigPathVariable();
  const auto startedAt = std::chrono::system_clock::now();
  ConfigRun run = Run(options_);
  remember(std::move(run.config), run.watched, run.retry, startedAt);
  return answer_;
}

SambaConfigReader& SambaConfigReader::Shared() {
  static SambaConfigReader reader;
  return reader;
}

}  // namespace quillet
