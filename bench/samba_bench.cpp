// What asking Samba costs where no smbd runs: the lookup of smbstatus in Samba's install
// folders, the /proc scan behind SmbdRuns (both once a second) and the remembered answer every
// other caller gets.

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "bench/Median.h"
#include "platform/samba/SambaPrograms.h"
#include "platform/samba/SambaStatus.h"

namespace {

using quillet::bench::MedianMicroseconds;

int ProcessCount() {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc ? ::readdir(proc) : nullptr)
    count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
  if (proc) ::closedir(proc);
  return count;
}

}  // namespace

int main() {
  // A name no process has: the scan reads every process, as it does where no smbd runs.
  const char* nobody = "quillet-nobody";
  const std::vector<std::string> programs{"/usr/sbin/quillet-nobody"};
  const double scan = MedianMicroseconds(2000, [&] {
    if (quillet::RootProcessRuns(nobody, programs)) std::exit(1);
  });
  std::printf("samba: /proc scan for a process that does not run (%d processes): median %.1f us\n",
              ProcessCount(), scan);

  quillet::SambaStatusOptions options;
  options.smbdRuns = [&] { return quillet::RootProcessRuns(nobody, programs); };
  const double unremembered = MedianMicroseconds(2000, [&] {
    if (quillet::ReadSambaStatus(options).read) std::exit(1);
  });
  std::printf("samba: \"not read\" with Samba installed, no smbd: median %.1f us\n", unremembered);
  // Where Samba is not installed the lookup of smbstatus fails and nothing more is done.
  const double lookup = MedianMicroseconds(2000, [&] {
    if (!quillet::SambaProgram("quillet-nothing").empty()) std::exit(1);
  });
  std::printf("samba: looking for a program that is in no install folder: median %.1f us\n",
              lookup);
  quillet::SambaStatusReader reader(options);
  const double remembered = MedianMicroseconds(100000, [&] {
    if (reader.read().read) std::exit(1);
  });
  std::printf("samba: remembered \"not read\" answer: median %.3f us (the scan once a second)\n",
              remembered);
  return 0;
}
