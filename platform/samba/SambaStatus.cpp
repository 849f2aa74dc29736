#include "platform/samba/SambaStatus.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <QFileInfo>
#include <QStandardPaths>
#include <cstdio>
#include <system_error>
#include <utility>

#include "platform/samba/LimitedRun.h"

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRemembered = std::chrono::seconds(1);
// A table of thousands of opens is a few megabytes.
constexpr size_t kMaxOutput = 64 << 20;

SambaTable NotRead(std::string reason) { return {false, std::move(reason), {}}; }

std::string SmbstatusPath(const std::string& chosen) {
  if (!chosen.empty()) return chosen;
  QString found = QStandardPaths::findExecutable(QStringLiteral("smbstatus"));
  if (found.isEmpty() && QFileInfo(QStringLiteral("/usr/bin/smbstatus")).isExecutable())
    found = QStringLiteral("/usr/bin/smbstatus");
  return found.toStdString();
}

std::string FirstLine(const QByteArray& text) {
  for (const QByteArray& line : text.split('\n')) {
    if (!line.trimmed().isEmpty()) return line.trimmed().left(200).toStdString();
  }
  return "no message";
}

SambaTable Understood(const std::string& program, const LimitedRun& run,
                      std::chrono::milliseconds limit) {
  using End = LimitedRun::End;
  switch (run.end) {
    case End::kNotStarted:
      return NotRead(program +
                     " could not be started: " + std::generic_category().message(run.code));
    case End::kTimedOut:
      return NotRead("smbstatus did not answer within " + std::to_string(limit.count()) + " ms");
    case End::kTooMuchOutput:
      return NotRead("smbstatus printed more than " + std::to_string(kMaxOutput >> 20) + " MiB");
    case End::kSignalled:
      return NotRead("smbstatus was ended by signal " + std::to_string(run.code));
    case End::kExited: break;
  }
  if (run.code != 0) {
    // A Samba before 4.17 knows no --json: popt's "Invalid option --json: unknown option"
    // and the usage, on standard error.
    if (run.err.contains("unknown option") || run.err.contains("Usage:"))
      return NotRead("smbstatus does not know --json (Samba 4.17 or later is needed)");
    return NotRead("smbstatus failed (exit status " + std::to_string(run.code) +
                   "): " + FirstLine(run.err));
  }
  SambaTable table = ParseSmbstatusJson(run.out);
  // Its complaint, where it had one: "/run/samba/locking.tdb not initialised" when it read
  // another configuration than the running smbd's.
  if (!table.read && !run.err.trimmed().isEmpty()) table.reason += " (" + FirstLine(run.err) + ")";
  return table;
}

}  // namespace

bool ProcessRuns(std::string_view name) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_type != DT_DIR || entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    char path[sizeof entry->d_name + 8];
    std::snprintf(path, sizeof path, "%s/comm", entry->d_name);
    const int fd = ::openat(::dirfd(proc), path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // it has just ended
    char comm[64];
    const ssize_t size = ::read(fd, comm, sizeof comm);
    ::close(fd);
    if (size > 0 && std::string_view(comm, size - (comm[size - 1] == '\n')) == name) {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

bool SmbdRuns() {
  static std::mutex mutex;
  static Clock::time_point lookedAt;
  static bool looked = false, runs = false;
  std::lock_guard lock(mutex);
  const Clock::time_point now = Clock::now();
  if (!looked || now - lookedAt >= kRemembered) {
    runs = ProcessRuns("smbd");
    looked = true;
    lookedAt = now;
  }
  return runs;
}

SambaTable ReadSambaStatus(const SambaStatusOptions& options) {
  // The cheapest question first: where Samba is not installed, /proc is not read at all.
  const std::string program = SmbstatusPath(options.program);
  if (program.empty())
    return NotRead("no smbstatus on PATH or in /usr/bin: Samba is not installed");
  if (!options.smbdRuns()) return NotRead("no smbd running on this machine");
  if (options.rootOnly && ::geteuid() != 0)
    return NotRead("not root (smbstatus reads Samba's status only as root)");
  const LimitedRun run = RunLimited(program, {"--json"}, options.limit, kMaxOutput);
  return Understood(program, run, options.limit);
}

SambaStatusReader::SambaStatusReader(SambaStatusOptions options) : options_(std::move(options)) {}

SambaTable SambaStatusReader::read() {
  std::lock_guard lock(mutex_);
  if (!answered_ || Clock::now() - readAt_ >= kRemembered) {
    answer_ = ReadSambaStatus(options_);
    answered_ = true;
    readAt_ = Clock::now();
  }
  return answer_;
}

SambaStatusReader& SambaStatusReader::Shared() {
  static SambaStatusReader reader;
  return reader;
}

}  // namespace quillet
