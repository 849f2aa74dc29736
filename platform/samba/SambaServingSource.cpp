#include "platform/samba/SambaServingSource.h"

#include <mutex>
#include <unordered_map>

#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaFindings.h"
#include "platform/samba/SambaShares.h"

namespace quillet {

SambaServingSource ServingFromConfig(std::shared_ptr<SambaConfigReader> reader) {
  return [reader](const std::string& path) {
    const std::shared_ptr<const SambaConfig> config = reader->read();
    SambaServing answer{config->read, config->reason, {}, config->unseen};
    for (const std::string& include : config->perClientIncludes)
      answer.unknown.push_back("include = " + include + " is named per client");
    if (config->shares.empty()) return answer;  // nothing to resolve the path for
    for (const ServingShare& serving : SharesServing(*config, path)) {
      answer.shares.push_back({serving.share->name, config->value(*serving.share, "path"),
                               serving.certain, HidingSettings(*config, *serving.share)});
    }
    return answer;
  };
}

SambaServingSource RememberedForASecond(SambaServingSource source, SteadyNow now) {
  struct Remembered {
    std::mutex mutex;
    std::unordered_map<std::string, std::pair<SambaServing, std::chrono::steady_clock::time_point>>
        answers;
  };
  // A scan asks once per folder: thousands of folders must not make thousands of answers.
  constexpr size_t kMostPaths = 256;
  const auto remembered = std::make_shared<Remembered>();
  return [remembered, source = std::move(source), now = std::move(now)](const std::string& path) {
    const auto asked = now();
    {
      const std::lock_guard lock(remembered->mutex);
      const auto found = remembered->answers.find(path);
      if (found != remembered->answers.end() &&
          asked - found->second.second < std::chrono::seconds(1))
        return found->second.first;
    }
    SambaServing answer = source(path);
    const std::lock_guard lock(remembered->mutex);
    if (remembered->answers.size() >= kMostPaths) remembered->answers.clear();
    remembered->answers.insert_or_assign(path, std::pair{answer, asked});
    return answer;
  };
}

void AskSambaForServingShares() {
  SetSambaServingSource(RememberedForASecond(ServingFromConfig(
      std::shared_ptr<SambaConfigReader>(&SambaConfigReader::Shared(), [](auto*) {}))));
}

}  // namespace quillet
