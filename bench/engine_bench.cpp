// How long the engine takes for what the window does most: probing the locking mode of
// an open database (alone, and with Samba asked as the programs ask it), and one shared
// open/close with other connections present, set against the floor of a bare open + lock +
// close of the same file.

#include <fcntl.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/probe/LockingProbe.h"
#include "bench/Median.h"
#include "platform/engine/Dao.h"
#include "platform/samba/SambaOpeners.h"
#include "platform/samba/SambaServingSource.h"

namespace {

constexpr int kRounds = 3000;

double MedianMicroseconds(const std::function<void()>& step) {
  return quillet::bench::MedianMicroseconds(kRounds, step);
}

std::string WriteDatabase(const QTemporaryDir& dir) {
  const std::string path = dir.path().toStdString() + "/bench.mdb";
  std::vector<char> bytes(3 * 4096, 0);
  std::memcpy(bytes.data() + 4, "Standard Jet DB", 15);
  bytes[0x14] = 0x01;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::perror("bench database");
    std::exit(1);
  }
  ::close(fd);
  return path;
}

void Require(const quillet::Status& status, const char* what) {
  if (status.ok()) return;
  std::fprintf(stderr, "%s: error %d: %s\n", what, static_cast<int>(status.number()),
               status.description().c_str());
  std::exit(1);
}

}  // namespace

int main() {
  QTemporaryDir dir;
  if (!dir.isValid()) return 1;
  const std::string path = WriteDatabase(dir);
  quillet::DBEngine& engine = quillet::DBEngine::Instance();

  {
    quillet::DatabasePtr database;
    Require(engine.OpenDatabase(path, &database), "open");
    const double probe = MedianMicroseconds([&] {
      if (quillet::GetLockingMode(database) != quillet::LockingMode::kPage) std::exit(1);
    });
    std::printf("engine: GetLockingMode on an open database: median %.1f us (target < 50)\n",
                probe);
    // As the programs set it up at start: Samba's open files (and configuration) asked on
    // every open; where Samba is absent, or its configuration unchanged, this must stay close
    // to the figure above.
    quillet::AskSambaForOtherOpeners();
    quillet::AskSambaForServingShares();
    const double asking = MedianMicroseconds([&] {
      if (quillet::GetLockingMode(database) != quillet::LockingMode::kPage) std::exit(1);
    });
    std::printf("engine: GetLockingMode with Samba asked as the programs ask it: median %.1f us\n",
                asking);
  }

  for (int others : {1, 16, 254}) {
    std::vector<quillet::DatabasePtr> present(others);
    for (auto& database : present) Require(engine.OpenDatabase(path, &database), "others");

    const double openClose = MedianMicroseconds([&] {
      quillet::DatabasePtr database;
      Require(engine.OpenDatabase(path, &database), "open");
      Require(database->Close(), "close");
    });
    const double floor = MedianMicroseconds([&] {
      const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      struct flock lock {};
      lock.l_type = F_RDLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 0;
      lock.l_len = 1;
      if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &lock) != 0) std::exit(1);
      ::close(fd);
    });
    std::printf(
        "engine: shared open/close with %3d others: median %.1f us; bare open+lock+close %.1f us "
        "(%.1fx, target <= 5x at 254)\n",
        others, openClose, floor, openClose / floor);
  }
  return 0;
}
