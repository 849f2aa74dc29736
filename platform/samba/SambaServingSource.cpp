#include "platform/samba/SambaServingSource.h"

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

void AskSambaForServingShares() {
  SetSambaServingSource(ServingFromConfig(
      std::shared_ptr<SambaConfigReader>(&SambaConfigReader::Shared(), [](auto*) {})));
}

}  // namespace quillet
