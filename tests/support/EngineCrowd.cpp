// engine_crowd: many workstations of this engine in one process, each a connection of its own.
//
//   engine_crowd DATABASE COUNT [page|record]
//
// Opens COUNT shared connections to DATABASE through ADO, asking for page (the default) or
// record-level locking, prints "ready" and holds them until SIGTERM or SIGINT; then closes
// them and exits 0. Exit 1: an open failed (its error on standard error); 2: usage.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/engine/Ado.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fputs("usage: see the top of EngineCrowd.cpp\n", stderr);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  for (int signal : {SIGTERM, SIGINT}) sigaddset(&stop, signal);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  const bool record = argc == 4 && std::string(argv[3]) == "record";
  std::vector<quillet::Connection> crowd(static_cast<size_t>(std::atoi(argv[2])));
  for (quillet::Connection& connection : crowd) {
    connection.SetProvider(quillet::kJetOleDbProvider);
    connection.SetProperty(quillet::kPropDataSource, std::string(argv[1]));
    connection.SetProperty(quillet::kPropLockingMode, int32_t{record ? 1 : 0});
    const quillet::Status opened = connection.Open();
    if (!opened.ok()) {
      std::fprintf(stderr, "engine_crowd: error %d: %s\n", int(opened.number()),
                   opened.description().c_str());
      return 1;
    }
  }
  std::puts("ready");
  if (std::fflush(stdout) != 0) return 1;
  int signal = 0;
  while (sigwait(&stop, &signal) != 0) {
  }
  return 0;  // the connections close as they go
}
