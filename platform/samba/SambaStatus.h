#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/samba/SambaOpens.h"

namespace quillet {

// Whether a process runs here as root (real and effective user 0) from one of `programs`
// (absolute paths): its /proc/PID/exe names one of them, or one of them " (deleted)", as a
// daemon still running after its package was upgraded does (the program was root's when it
// was started). Processes are picked first by `name`, the name Linux keeps in /proc/PID/comm
// (a Samba's main smbd keeps "smbd"): the cheap look, which anybody's process can pass.
// Reads /proc on every call.
bool RootProcessRuns(std::string_view name, const std::vector<std::string>& programs);

// Whether root's smbd runs here, started from one of Samba's install folders
// (SambaPrograms.h); remembered for a second: the whole of /proc is read to know.
bool SmbdRuns();

struct SambaStatusOptions {
  // The smbstatus to run; empty: Samba's own, from its install folders (SambaProgram),
  // never one found on PATH.
  std::string program;
  // Whether an smbd runs on this machine; smbstatus is run only then.
  std::function<bool()> smbdRuns = SmbdRuns;
  // smbstatus reads Samba's databases only as root. Tests with a stand-in run it as anybody.
  bool rootOnly = true;
  std::chrono::milliseconds limit{2000};
  // The clock SambaStatusReader tells its answer's age by.
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
};

// Samba's open files and its clients' byte-range locks now, from `smbstatus -B --json`: Samba
// picks its configuration as it always does (its default smb.conf, or SMB_CONF_PATH from the
// environment). Never throws and never waits past the limit; wherever it cannot be read the table
// is not read, with the reason.
SambaTable ReadSambaStatus(const SambaStatusOptions& options);

// ReadSambaStatus, its answer remembered for about a second: the probe and a scan may ask for
// every database, and smbstatus takes tens of milliseconds. Safe from any thread; a caller
// that comes while smbstatus runs waits for that answer.
class SambaStatusReader {
 public:
  explicit SambaStatusReader(SambaStatusOptions options = {});
  SambaTable read();

  // This process's reader, with the default options.
  static SambaStatusReader& Shared();

 private:
  const SambaStatusOptions options_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point readAt_;
  bool answered_ = false;
  SambaTable answer_;
};

}  // namespace quillet
