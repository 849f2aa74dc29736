// Processes open and probe one database in random modes, some SIGKILLed: they must agree.

#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <random>
#include <thread>

#include "support/EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

constexpr long long kNever = INT64_MAX;

long long Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// One write a line (dprintf), so a SIGKILL cuts none in half.
void RunWorker(const std::string& path, const std::string& logPath, int cycles, unsigned seed) {
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  std::mt19937 random(seed);
  auto chance = [&](int percent) { return int(random() % 100) < percent; };
  for (int cycle = 0; cycle < cycles; ++cycle) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    const bool ado = chance(60), exclusive = chance(3);
    const int asked = ado && chance(70) ? 1 : 0;  // DAO always asks for page level
    ::dprintf(log, "B %lld %d %d\n", Now(), asked, int(exclusive));
    Connection connection;
    DatabasePtr database;
    const Status status =
        ado ? OpenAdo(connection, path, asked, exclusive ? adModeShareExclusive : 0)
            : OpenDao(path, &database, exclusive);
    if (!status.ok()) {  // F: refused as in use, X: anything else
      const bool inUse = status.description().ends_with("file already in use.");
      ::dprintf(log, "%c %lld %s\n", inUse ? 'F' : 'X', Now(), Failure(status).c_str());
      continue;
    }
    // No second connection could get past our own exclusive hold.
    ::dprintf(log, "O %lld %d\n", Now(),
              ado         ? ModeOf(connection)
              : exclusive ? 0
                          : JoinedMode(database));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
    ::dprintf(log, "C %lld\n", Now());
    if (!(ado ? connection.Close() : database->Close()).ok()) ::dprintf(log, "X close failed\n");
    ::dprintf(log, "D %lld\n", Now());
  }
}

// Surely held in [opened, closed]; maybe held in [begin, end].
struct Attempt {
  int asked, mode;
  bool exclusive, failed;
  long long begin, opened, closed, end;
  bool maybeThere(long long from, long long to) const {
    return !failed && begin < to && end > from;
  }
  std::string describe() const {
    return QString::asprintf("asked %d%s got %d [%lld, %lld .. %lld]", asked,
                             exclusive ? " exclusively" : "", mode, begin, opened, closed)
        .toStdString();
  }
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
    struct Worker {
      pid_t pid;
      std::string log;
      long long killSent = kNever, seenDead = kNever;
    };
    std::vector<Worker> workers;
    auto spawn = [&](int cycles) {
      const std::string log = folder.file("worker" + std::to_string(workers.size()) + ".log");
      const unsigned workerSeed = random();
      const pid_t pid = ::fork();
      if (pid == 0) RunWorker(path, log, cycles, workerSeed), ::_exit(0);
      workers.push_back(Worker{pid, log});
    };
    auto reap = [&](Worker& worker) {  // false if it ended on its own with a failure
      int status = 0;
      ::waitpid(worker.pid, &status, 0);
      worker.seenDead = Now();
      return WIFSIGNALED(status) || WEXITSTATUS(status) == 0;
    };
    for (int i = 0; i < 8; ++i) spawn(300);
    int kills = 0;
    for (int round = 0; round < 16; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 40));
      Worker& victim = workers[random() % workers.size()];
      if (victim.seenDead != kNever) continue;
      victim.killSent = Now();
      kills += ::kill(victim.pid, SIGKILL) == 0;
      QVERIFY2(reap(victim), "a worker failed");
      spawn(100);
    }
    for (Worker& worker : workers)
      QVERIFY2(worker.seenDead != kNever || reap(worker), "a worker failed");

    std::vector<Attempt> all;
    for (const Worker& worker : workers) {
      const size_t first = all.size();
      std::ifstream in(worker.log);
      for (std::string text; std::getline(in, text);) {
        QVERIFY2(text[0] != 'X', text.c_str());
        long long time = 0;
        int a = 0, b = 0;
        std::sscanf(text.c_str() + 1, "%lld %d %d", &time, &a, &b);
        if (text[0] == 'B') all.push_back({a, -1, b != 0, false, time, kNever, kNever, kNever});
        if (text[0] == 'O') std::tie(all.back().opened, all.back().mode) = std::tie(time, a);
        if (text[0] == 'F') all.back().failed = true;
        if (text[0] == 'C') all.back().closed = time;
        if (text[0] == 'D' || text[0] == 'F') all.back().end = time;
      }
      if (all.size() == first) continue;
      // What the log of a killed worker does not close, the kill did.
      all.back().end = std::min(all.back().end, worker.seenDead);
      all.back().closed = std::min(all.back().closed, worker.killSent);
    }

    int joinedAnotherMode = 0, aloneIn[2] = {0, 0};
    for (const Attempt& a : all) {
      const auto anyone = [&](auto test) {
        return std::any_of(all.begin(), all.end(),
                           [&](const Attempt& b) { return &a != &b && test(b); });
      };
      QVERIFY2(!a.failed || a.exclusive || anyone([&](const Attempt& b) {
        return b.exclusive && b.maybeThere(a.begin, a.end);
      }),
               ("refused with nobody to refuse it: " + a.describe()).c_str());
      if (a.opened == kNever) continue;  // failed, or killed inside its open
      QVERIFY2(a.mode == 0 || a.mode == 1, a.describe().c_str());
      for (const Attempt& b : all) {
        if (&a == &b || std::max(a.opened, b.opened) >= std::min(a.closed, b.closed)) continue;
        QVERIFY2(a.mode == b.mode && !a.exclusive && !b.exclusive,
                 (a.describe() + " / " + b.describe()).c_str());
      }
      const bool someoneThere = anyone([&](const Attempt& b) {
        return !b.exclusive && b.maybeThere(a.begin, a.opened) &&
               (b.opened == kNever || b.mode == a.mode);
      });
      QVERIFY2(someoneThere || a.mode == a.asked,
               ("a mode nobody could have set: " + a.describe()).c_str());
      joinedAnotherMode += a.mode != a.asked;
      aloneIn[a.mode] += !someoneThere;
    }
    qInfo("%d kills, %zu attempts, %d joined another mode, %d page and %d record sessions alone",
          kills, all.size(), joinedAnotherMode, aloneIn[0], aloneIn[1]);
    QVERIFY(kills > 0);
    QVERIFY(joinedAnotherMode > 0);
    QVERIFY(aloneIn[0] > 0);
    QVERIFY(aloneIn[1] > 0);

    Connection last;  // whatever the kills left behind, the next opener decides afresh
    QCOMPARE(Failure(OpenAdo(last, path, 1)), kOk);
    QCOMPARE(ModeOf(last), 1);
    QVERIFY(last.Close().ok());
    QVERIFY(!Exists(folder.file("stress.ldb")));
  }
};

QTEST_GUILESS_MAIN(EngineStressTest)
#include "EngineStressTest.moc"
