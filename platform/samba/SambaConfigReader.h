#pragma once

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/samba/SambaConfig.h"

namespace quillet {

struct SambaConfigOptions {
  // The testparm to run; empty: Samba's own, from its install folders (SambaPrograms.h).
  std::string program;
  std::chrono::milliseconds limit{3000};
  // A testparm that could not give an answer at all (did not start, hung, was killed) is
  // tried again after this long; any other answer lasts until a watched file changes.
  std::chrono::seconds retryAfter{60};
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
};

// Samba's effective configuration from Samba's own `testparm -s -v`, run with a time limit
// (killed by its PID and reaped past it). Samba picks the file as it always does: its
// default, or SMB_CONF_PATH from the environment. Never throws; wherever the configuration
// cannot be read the answer says why. Where Samba is not installed testparm is never run.
SambaConfig ReadSambaConfig(const SambaConfigOptions& options);

// A file's identity and stamps, to tell whether it changed (or appeared, or went) since.
struct FileStamp {
  int error = 0;  // stat's errno: 0 where the file exists
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const FileStamp& other) const;
};
FileStamp StampOf(const std::string& path);

// ReadSambaConfig, its answer remembered until a file it came from changes: testparm, the
// configuration file and every file it includes, the folder of users' shares, the registry
// where the configuration keeps shares there, and SMB_CONF_PATH. Each question costs a stat
// of each of these; where Samba is not installed, a stat of each place testparm could be.
// Safe from any thread; a caller that comes while testparm runs waits for that answer.
class SambaConfigReader {
 public:
  explicit SambaConfigReader(SambaConfigOptions options = {});
  std::shared_ptr<const SambaConfig> read();

  // This process's reader, with the default options.
  static SambaConfigReader& Shared();

 private:
  bool stillValid() const;
  void remember(SambaConfig config, const std::vector<std::string>& watched, bool retry,
                std::chrono::system_clock::time_point startedAt);

  const SambaConfigOptions options_;
  std::mutex mutex_;
  std::shared_ptr<const SambaConfig> answer_;
  std::vector<std::pair<std::string, FileStamp>> watched_;
  std::optional<std::string> configPath_;  // SMB_CONF_PATH when read; nullopt: not set
  std::optional<std::chrono::steady_clock::time_point> retryAt_;
  bool readAgain_ = false;  // a file changed while testparm read it
};

}  // namespace quillet
