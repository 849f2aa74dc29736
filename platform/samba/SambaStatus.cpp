#include "platform/samba/SambaStatus.h"

#include <fcntl.h>

#include <QList>
#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"
#include "platform/samba/LimitedRun.h"
#include "platform/samba/SambaPrograms.h"

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRemembered = std::chrono::seconds(1);
// A table of thousands of opens is a few megabytes.
constexpr size_t kMaxOutput = 64 << 20;

SambaTable NotRead(std::string reason) { return {false, std::move(reason), {}}; }

std::string NotInstalled() {
  std::string folders;
  for (const std::string_view folder : kSambaInstallFolders)
    folders += (folders.empty() ? "" : ", ") + std::string(folder);
  return "Samba is not installed: no smbstatus that only root can change in " + folders;
}

// What `file` of /proc/PID holds, up to the size of `buffer`; empty if it cannot be read.
std::string_view ReadOf(int proc, const std::string& pid, const char* file,
                        std::array<char, 1024>& buffer) {
  const UniqueFd fd(posix::OpenAt(proc, pid + '/' + file, O_RDONLY));
  if (!fd.valid()) return {};  // it has just ended
  const ssize_t size = posix::Read(fd.get(), buffer.data(), buffer.size());
  return size > 0 ? std::string_view(buffer.data(), size_t(size)) : std::string_view();
}

// Real and effective user 0, as the "Uid:" line of /proc/PID/status tells them (real,
// effective, saved, filesystem).
bool RunsAsRoot(int proc, const std::string& pid) {
  std::array<char, 1024> buffer;
  const std::string_view status = ReadOf(proc, pid, "status", buffer);
  const size_t uid = status.find("\nUid:\t");
  return uid != std::string_view::npos && status.substr(uid + 6).starts_with("0\t0\t");
}

// Whether /proc/PID/exe names one of `programs`, or one of them replaced since it started.
bool RunsFrom(int proc, const std::string& pid, const std::vector<std::string>& programs) {
  std::string target;
  if (posix::ReadLinkAt(proc, pid + "/exe", &target) != 0) return false;
  std::string_view program(target);
  constexpr std::string_view kDeleted = " (deleted)";
  if (program.ends_with(kDeleted)) program.remove_suffix(kDeleted.size());
  return std::find(programs.begin(), programs.end(), program) != programs.end();
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

bool RootProcessRuns(std::string_view name, const std::vector<std::string>& programs) {
  const UniqueFd proc(posix::Open("/proc", O_RDONLY | O_DIRECTORY));
  if (!proc.valid()) return false;
  std::vector<posix::FolderEntry> entries;
  (void)posix::ListFolder(proc.get(), &entries);  // what could be listed is looked at
  for (const posix::FolderEntry& entry : entries) {
    if (entry.type != DT_DIR || entry.name[0] < '1' || entry.name[0] > '9') continue;
    std::array<char, 1024> buffer;
    std::string_view comm = ReadOf(proc.get(), entry.name, "comm", buffer);
    if (comm.ends_with('\n')) comm.remove_suffix(1);
    if (comm == name && RunsAsRoot(proc.get(), entry.name) &&
        RunsFrom(proc.get(), entry.name, programs))
      return true;
  }
  return false;
}

bool SmbdRuns() {
  static std::mutex mutex;
  static Clock::time_point lookedAt;
  static bool looked = false, runs = false;
  std::lock_guard lock(mutex);
  const Clock::time_point now = Clock::now();
  if (!looked || now - lookedAt >= kRemembered) {
    static const std::vector<std::string> smbds = [] {
      std::vector<std::string> paths;
      for (const std::string_view folder : kSambaInstallFolders)
        paths.push_back(std::string(folder) + "/smbd");
      return paths;
    }();
    runs = RootProcessRuns("smbd", smbds);
    looked = true;
    lookedAt = now;
  }
  return runs;
}

SambaTable ReadSambaStatus(const SambaStatusOptions& options) {
  // The cheapest question first: where Samba is not installed, /proc is not read at all.
  const std::string program = options.program.empty() ? SambaProgram("smbstatus") : options.program;
  if (program.empty()) return NotRead(NotInstalled());
  if (!options.smbdRuns()) return NotRead("no smbd running on this machine");
  if (options.rootOnly && posix::EffectiveUid() != 0)
    return NotRead("not root (smbstatus reads Samba's status only as root)");
  // -B adds the byte-range locks Samba holds for its clients to the same answer.
  const LimitedRun run = RunLimited(program, {"-B", "--json"}, options.limit, kMaxOutput);
  return Understood(program, run, options.limit);
}

SambaStatusReader::SambaStatusReader(SambaStatusOptions options) : options_(std::move(options)) {}

SambaTable SambaStatusReader::read() {
  std::lock_guard lock(mutex_);
  if (!answered_ || options_.now() - readAt_ >= kRemembered) {
    answer_ = ReadSambaStatus(options_);
    answered_ = true;
    readAt_ = options_.now();
  }
  return answer_;
}

SambaStatusReader& SambaStatusReader::Shared() {
  static SambaStatusReader reader;
  return reader;
}

}  // namespace quillet
