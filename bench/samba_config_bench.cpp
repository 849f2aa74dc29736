// What asking Samba's configuration costs: reading it (testparm), the remembered answer every
// later question gets while nothing changed, what a question costs where Samba is absent, and
// matching a database's path to the shares.

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench/Median.h"
#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaPrograms.h"
#include "platform/samba/SambaShares.h"

namespace {

using quillet::bench::MedianMicroseconds;

}  // namespace

int main() {
  if (quillet::SambaProgram("testparm").empty()) {
    std::printf("samba config: Samba is not installed here; nothing to measure\n");
    return 0;
  }
  const double fresh = MedianMicroseconds(20, [] {
    if (!quillet::ReadSambaConfig({}).read) std::exit(1);
  });
  std::printf("samba config: testparm -s -v read (this machine's smb.conf): median %.0f us\n",
              fresh);

  quillet::SambaConfigReader reader;
  const auto config = reader.read();
  const double remembered = MedianMicroseconds(100000, [&] {
    if (reader.read() != config) std::exit(1);
  });
  std::printf("samba config: remembered answer, nothing changed: median %.2f us\n", remembered);

  // Where Samba is absent a question stats each place testparm could be, and finds none.
  const double absent = MedianMicroseconds(100000, [] {
    for (const std::string_view folder : quillet::kSambaInstallFolders) {
      if (quillet::StampOf(std::string(folder) + "/quillet-no-testparm").error == 0) std::exit(1);
    }
  });
  std::printf("samba config: a question where Samba is absent (%zu stats): median %.2f us\n",
              std::size(quillet::kSambaInstallFolders), absent);

  const double matching = MedianMicroseconds(100000, [&] {
    if (quillet::SharesServing(*config, "/srv/data/Sales.mdb").size() > config->shares.size())
      std::exit(1);
  });
  std::printf("samba config: the shares serving a path (%zu shares): median %.2f us\n",
              config->shares.size(), matching);
  return 0;
}
