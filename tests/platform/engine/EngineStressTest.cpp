// Eight processes open, probe and close one database, asking for random modes, now and then
// exclusively, while some are SIGKILLed at random moments; each logs what it asked and got on
// the monotonic clock all share. Connections surely open at once must agree on the mode, a
// mode other than the one asked for needs someone there to come from, "in use" an exclusive holder.

#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <random>
#include <thread>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"

using namespace quillet;
using namespace quillet::test;

namespace {

constexpr int kWorkers = 8, kCycles = 300, kReplacementCycles = 100, kKills = 16;
constexpr long long kNever = INT64_MAX;

long long Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// Logs with one write a line (dprintf), so a SIGKILL cuts none in half.
void RunWorker(const std::string& path, const std::string& logPath, int cycles, unsigned seed) {
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  std::mt19937 random(seed);
  auto chance = [&](int percent) { return int(random() % 100) < percent; };
  auto pause = [&](int most) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % most));
  };
  for (int cycle = 0; cycle < cycles; ++cycle, pause(3000)) {
    const bool ado = chance(60), exclusive = chance(3);
    const int asked = ado && chance(70) ? 1 : 0;  // DAO always asks for page level
    ::dprintf(log, "B %lld %d %d\n", Now(), asked, int(exclusive));
    Connection connection;
    DatabasePtr database;
    const Status status =
        ado ? OpenAdo(connection, path, asked, exclusive ? adModeShareExclusive : 0)
            : OpenDao(path, &database, exclusive);
    const long long opened = Now();
    if (!status.ok()) {  // F: refused as in use, X: anything else
      ::dprintf(log, "%c %lld %s\n",
                status.description().ends_with("file already in use.") ? 'F' : 'X', opened,
                Failure(status).c_str());
      continue;
    }
    // The probe could not get past our own exclusive hold.
    const int mode = ado ? ModeOf(connection) : exclusive ? 0 : GetLockingMode(database);
    ::dprintf(log, "O %lld %d\n", opened, mode);
    pause(1000);
    ::dprintf(log, "C %lld\n", Now());
    if (!(ado ? connection.Close() : database->Close()).ok()) ::dprintf(log, "X close failed\n");
    ::dprintf(log, "D %lld\n", Now());
  }
}

// Surely held in [opened, closed]; maybe held in [begin, end].
struct Attempt {
  int worker, asked, mode;
  bool exclusive, failed;
  long long begin, opened, closed, end;
  bool maybeThere(long long from, long long to) const {
    return !failed && begin < to && end > from;
  }
  std::string describe() const {
    return QString::asprintf("worker %d asked %d%s got %d [%lld, %lld .. %lld]", worker, asked,
                             exclusive ? " exclusively" : "", mode, begin, opened, closed)
        .toStdString();
  }
};

struct Worker {
  pid_t pid;
  std::string log;
  long long killSent = kNever, seenDead = kNever;
};

}  // namespace

class EngineStressTest : public QObject {
  Q_OBJECT

 private slots:
  void processesAgreeOnTheModeOfTheFirstOpener() {
    TempFolder folder;
    const std::string path = folder.database("stress.mdb");
    const unsigned seed = std::random_device()();
    qInfo("seed %u", seed);
    std::mt19937 random(seed);
    std::vector<Worker> workers;
    auto spawn = [&](int cycles) {
      const std::string log = folder.file("worker" + std::to_string(workers.size()) + ".log");
      const unsigned workerSeed = random();
      const pid_t pid = ::fork();
      if (pid == 0)
        RunWorker(path, log, cycles, workerSeed), ::_exit(0);  // nothing is open here to share
      workers.push_back(Worker{pid, log});
    };
    auto reap = [&](Worker& worker) {  // false if it ended on its own with a failure
      int status = 0;
      ::waitpid(worker.pid, &status, 0);
      worker.seenDead = Now();
      return WIFSIGNALED(status) || WEXITSTATUS(status) == 0;
    };
    for (int i = 0; i < kWorkers; ++i) spawn(kCycles);
    int kills = 0;
    for (int round = 0; round < kKills; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 40));
      Worker& victim = workers[random() % workers.size()];
      if (victim.seenDead != kNever) continue;
      victim.killSent = Now();
      kills += ::kill(victim.pid, SIGKILL) == 0;
      QVERIFY2(reap(victim), "a worker failed");
      spawn(kReplacementCycles);
    }
    for (Worker& worker : workers)
      QVERIFY2(worker.seenDead != kNever || reap(worker), "a worker failed");

    std::vector<Attempt> all;
    for (size_t index = 0; index < workers.size(); ++index) {
      const size_t first = all.size();
      std::ifstream in(workers[index].log);
      for (std::string text; std::getline(in, text);) {
        QVERIFY2(text[0] != 'X', text.c_str());
        long long time = 0;
        int a = 0, b = 0;
        std::sscanf(text.c_str() + 1, "%lld %d %d", &time, &a, &b);
        if (text[0] == 'B')
          all.push_back({int(index), a, -1, b != 0, false, time, kNever, kNever, kNever});
        if (text[0] == 'O') std::tie(all.back().opened, all.back().mode) = std::tie(time, a);
        if (text[0] == 'F') all.back().failed = true;
        if (text[0] == 'C') all.back().closed = time;
        if (text[0] == 'D' || text[0] == 'F') all.back().end = time;
      }
      if (all.size() == first) continue;
      all.back().end = std::min(all.back().end, workers[index].seenDead);  // what the log does not
      all.back().closed =
          std::min(all.back().closed, workers[index].killSent);  // close, the kill did
    }

    int joinedAnotherMode = 0, refused = 0, aloneIn[2] = {0, 0};
    for (const Attempt& a : all) {
      if (a.failed) {  // only an exclusive holder shuts a shared opener out
        QVERIFY2(a.exclusive || std::any_of(all.begin(), all.end(),
                                            [&](const Attempt& b) {
                                              return b.exclusive && b.maybeThere(a.begin, a.end);
                                            }),
                 ("refused with nobody to refuse it: " + a.describe()).c_str());
        ++refused;
      }
      if (a.opened == kNever) continue;  // failed, or killed inside its open
      QVERIFY2(a.mode == 0 || a.mode == 1, a.describe().c_str());
      for (const Attempt& b : all) {
        if (&a == &b || std::max(a.opened, b.opened) >= std::min(a.closed, b.closed)) continue;
        QVERIFY2(a.mode == b.mode && !a.exclusive && !b.exclusive,
                 (a.describe() + " / " + b.describe()).c_str());
      }
      const bool someoneThere = std::any_of(all.begin(), all.end(), [&](const Attempt& b) {
        return &a != &b && !b.exclusive && b.maybeThere(a.begin, a.opened) &&
               (b.opened == kNever || b.mode == a.mode);
      });
      QVERIFY2(someoneThere || a.mode == a.asked,
               ("a mode nobody could have set: " + a.describe()).c_str());
      joinedAnotherMode += a.mode != a.asked;
      aloneIn[a.mode] += !someoneThere;
    }
    qInfo(
        "%d kills, %zu attempts, %d joined another mode than asked, %d refused as in use, %d page "
        "and "
        "%d record sessions begun alone",
        kills, all.size(), joinedAnotherMode, refused, aloneIn[0], aloneIn[1]);
    QVERIFY(kills > 0 && joinedAnotherMode > 0 && aloneIn[0] > 0 &&
            aloneIn[1] > 0);  // it exercised what it checks

    Connection last;  // whatever the kills left behind, the next opener decides afresh
    QVERIFY(OpenAdo(last, path, 1).ok() && ModeOf(last) == 1 && last.Close().ok());
    QVERIFY(!Exists(folder.file("stress.ldb")));  // and the last one out leaves no lock file
  }
};

QTEST_GUILESS_MAIN(EngineStressTest)
#include "EngineStressTest.moc"
