// Many processes opening, probing and closing one database at random, some of them
// killed at random moments, including inside the join. Every worker logs what it asked
// and what it got, with times from the one system-wide monotonic clock; afterwards the
// logs must show that connections open at the same moment agreed on the mode, and that a
// connection that got another mode than it asked for had someone to join.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"

using namespace quillet;
using namespace quillet::test;

namespace {

constexpr int kWorkers = 8;
constexpr int kCyclesPerWorker = 300;
constexpr int kCyclesPerReplacement = 100;
constexpr int kMaxKills = 16;
constexpr int64_t kNever = INT64_MAX;

int64_t Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// ---- the worker process ----------------------------------------------------------

class EventLog {
 public:
  explicit EventLog(const char* path) : fd_(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {}
  ~EventLog() { ::close(fd_); }
  // One write per line: whatever a SIGKILL interrupts, every line written is whole.
  void Line(const std::string& text) const {
    const std::string line = text + "\n";
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
  }

 private:
  int fd_;
};

std::string FailureCode(const Status& status) {
  if (status.description().find("file already in use") != std::string::npos) return "inuse";
  return std::to_string(status.number()) + ":" + status.description();
}

int RunWorker(const std::string& path, const char* logPath, int cycles, unsigned seed) {
  const EventLog log(logPath);
  std::mt19937 random(seed);
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  auto pause = [&](int maxMicroseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (maxMicroseconds + 1)));
  };

  for (int cycle = 0; cycle < cycles; ++cycle) {
    const bool useAdo = chance(60);
    const int requested = useAdo && chance(70) ? 1 : 0;  // DAO always asks for page level
    const bool exclusive = chance(3);

    log.Line("B " + std::to_string(Now()) + " " + std::to_string(requested) + " " + (exclusive ? "1" : "0"));
    Connection connection;
    DatabasePtr database;
    Status status;
    if (useAdo) {
      status = OpenAdo(connection, path, requested, exclusive ? adModeShareExclusive : adModeUnknown);
    } else {
      status = OpenDao(path, &database, exclusive);
    }
    const int64_t opened = Now();
    if (!status.ok()) {
      log.Line("F " + std::to_string(opened) + " " + FailureCode(status));
      pause(2000);
      continue;
    }

    int mode;
    if (useAdo) {
      mode = ModeOf(connection);
    } else {
      mode = exclusive ? 0 : GetLockingMode(database);  // the probe cannot get past our exclusive hold
    }
    log.Line("O " + std::to_string(opened) + " " + std::to_string(mode));
    if (mode != 0 && mode != 1) log.Line("X mode read as " + std::to_string(mode));

    if (!exclusive && chance(50)) {
      // A second connection of the same process joins whatever we are in.
      Connection probe;
      const Status joined = OpenAdo(probe, path, static_cast<int32_t>(random() % 2));
      if (!joined.ok()) log.Line("X second connection refused: " + FailureCode(joined));
      else if (ModeOf(probe) != mode) log.Line("X second connection sees " + std::to_string(ModeOf(probe)));
    }
    pause(1000);

    log.Line("C " + std::to_string(Now()));
    const Status closed = useAdo ? connection.Close() : database->Close();
    if (!closed.ok()) log.Line("X close failed: " + FailureCode(closed));
    log.Line("D " + std::to_string(Now()));
    pause(3000);
  }
  return 0;
}

// ---- the checking parent ---------------------------------------------------------

struct Attempt {
  int worker = 0;
  int requested = 0;
  bool exclusive = false;
  int64_t begin = 0;
  int64_t opened = kNever;  // when the open returned successfully
  int mode = -1;            // -1: unknown (killed before it could say)
  std::string failure;      // non-empty: the open failed
  int64_t closeCalled = kNever;
  int64_t closeDone = kNever;
  // Bounds on when it held the file: surely in [heldFrom, heldUntil], at most within
  // [begin, mayHoldUntil].
  int64_t heldFrom() const { return opened; }
  int64_t heldUntil = kNever;
  int64_t mayHoldUntil = kNever;
};

struct WorkerRun {
  pid_t pid = -1;
  std::string logPath;
  bool killed = false;
  int64_t killSent = kNever;
  int64_t seenDead = kNever;
};

std::vector<Attempt> ReadLog(const WorkerRun& run, int index, QStringList* complaints) {
  std::vector<Attempt> attempts;
  std::ifstream in(run.logPath);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    char kind = 0;
    fields >> kind;
    if (kind == 'B') {
      Attempt attempt;
      int exclusive = 0;
      attempt.worker = index;
      fields >> attempt.begin >> attempt.requested >> exclusive;
      attempt.exclusive = exclusive != 0;
      attempts.push_back(attempt);
      continue;
    }
    if (attempts.empty()) continue;
    Attempt& last = attempts.back();
    if (kind == 'O') fields >> last.opened >> last.mode;
    if (kind == 'F') {
      fields >> last.mayHoldUntil;
      std::getline(fields >> std::ws, last.failure);
    }
    if (kind == 'C') fields >> last.closeCalled;
    if (kind == 'D') fields >> last.closeDone;
    if (kind == 'X') complaints->append(QStringLiteral("worker %1: %2").arg(index).arg(QString::fromStdString(line)));
  }
  for (Attempt& attempt : attempts) {
    if (!attempt.failure.empty()) {
      attempt.heldUntil = 0;
      continue;
    }
    // Whatever the log does not close was closed by the kill.
    attempt.heldUntil = attempt.closeCalled != kNever ? attempt.closeCalled : run.killSent;
    attempt.mayHoldUntil = attempt.closeDone != kNever ? attempt.closeDone : run.seenDead;
  }
  return attempts;
}

bool SurelyTogether(const Attempt& a, const Attempt& b) {
  return std::max(a.heldFrom(), b.heldFrom()) < std::min(a.heldUntil, b.heldUntil);
}

bool MaybeThereDuring(const Attempt& other, int64_t from, int64_t to) {
  if (!other.failure.empty()) return false;  // a failed open held nothing afterwards
  return other.begin < to && other.mayHoldUntil > from;
}

std::string Describe(const Attempt& a) {
  std::ostringstream text;
  text << "worker " << a.worker << " asked " << a.requested << (a.exclusive ? " exclusive" : "")
       << " got " << a.mode << " [" << a.begin << ", " << a.opened << " .. " << a.heldUntil << "]";
  return text.str();
}

}  // namespace

class EngineStressTest : public QObject {
  Q_OBJECT

 private slots:
  void processesAgreeOnTheModeOfTheFirstOpener();
};

void EngineStressTest::processesAgreeOnTheModeOfTheFirstOpener() {
  TempFolder folder;
  const std::string path = folder.database("stress.mdb");
  const std::string self = QCoreApplication::applicationFilePath().toStdString();
  const unsigned seed = std::random_device()();
  qInfo("seed %u", seed);
  std::mt19937 random(seed);

  std::vector<WorkerRun> runs;
  std::vector<size_t> running;
  auto spawn = [&](int cycles) {
    WorkerRun run;
    run.logPath = folder.file("worker" + std::to_string(runs.size()) + ".log");
    const std::string cyclesText = std::to_string(cycles);
    const std::string seedText = std::to_string(random());
    run.pid = ::fork();
    if (run.pid == 0) {
      ::execl(self.c_str(), self.c_str(), "--stress-worker", path.c_str(), run.logPath.c_str(),
              cyclesText.c_str(), seedText.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    QVERIFY(run.pid > 0);
    running.push_back(runs.size());
    runs.push_back(run);
  };
  for (int i = 0; i < kWorkers; ++i) spawn(kCyclesPerWorker);

  int kills = 0;
  const int64_t giveUp = Now() + int64_t{50} * 1000000000;
  while (!running.empty()) {
    QVERIFY2(Now() < giveUp, "workers did not finish in time");
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 30));
    for (auto it = running.begin(); it != running.end();) {
      int status = 0;
      if (::waitpid(runs[*it].pid, &status, WNOHANG) == runs[*it].pid) {
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a worker failed on its own");
        it = running.erase(it);
      } else {
        ++it;
      }
    }
    if (kills < kMaxKills && !running.empty() && random() % 2 == 0) {
      const size_t victim = running[random() % running.size()];
      runs[victim].killSent = Now();
      ::kill(runs[victim].pid, SIGKILL);
      int status = 0;
      ::waitpid(runs[victim].pid, &status, 0);
      runs[victim].seenDead = Now();
      runs[victim].killed = WIFSIGNALED(status);
      running.erase(std::find(running.begin(), running.end(), victim));
      ++kills;
      spawn(kCyclesPerReplacement);
    }
  }

  QStringList complaints;
  std::vector<Attempt> all;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::vector<Attempt> attempts = ReadLog(runs[i], static_cast<int>(i), &complaints);
    all.insert(all.end(), attempts.begin(), attempts.end());
  }
  QVERIFY2(complaints.isEmpty(), qPrintable(complaints.join('\n')));

  int held = 0, joinedOtherMode = 0, failedInUse = 0;
  int firstOpenersByMode[2] = {0, 0};
  for (const Attempt& a : all) {
    if (!a.failure.empty()) {
      // Only an exclusive holder shuts a shared opener out; anyone shuts an exclusive one out.
      QVERIFY2(a.failure == "inuse", ("unexpected failure: " + a.failure).c_str());
      const bool explained = std::any_of(all.begin(), all.end(), [&](const Attempt& other) {
        return &other != &a && (a.exclusive || other.exclusive) &&
               MaybeThereDuring(other, a.begin, a.mayHoldUntil);
      });
      QVERIFY2(explained, ("refused with nobody to refuse it: " + Describe(a)).c_str());
      ++failedInUse;
      continue;
    }
    if (a.opened == kNever) continue;  // killed inside its open
    ++held;

    for (const Attempt& other : all) {
      if (&other == &a || other.opened == kNever || !other.failure.empty()) continue;
      if (!SurelyTogether(a, other)) continue;
      QVERIFY2(!a.exclusive && !other.exclusive,
               ("exclusive open shared: " + Describe(a) + " / " + Describe(other)).c_str());
      QVERIFY2(a.mode == other.mode,
               ("open together, modes differ: " + Describe(a) + " / " + Describe(other)).c_str());
    }

    const bool someoneThere = std::any_of(all.begin(), all.end(), [&](const Attempt& other) {
      return &other != &a && !other.exclusive && MaybeThereDuring(other, a.begin, a.opened) &&
             (other.opened == kNever || other.mode == a.mode);
    });
    if (a.mode != a.requested) {
      QVERIFY2(someoneThere, ("got a mode nobody there could have set: " + Describe(a)).c_str());
      ++joinedOtherMode;
    }
    if (!someoneThere) ++firstOpenersByMode[a.mode];
  }

  qInfo("%d kills, %d connections held, %d joined another mode than asked, %d refused as in use, "
        "%d page and %d record sessions started alone",
        kills, held, joinedOtherMode, failedInUse, firstOpenersByMode[0], firstOpenersByMode[1]);
  // The run must have exercised what it checks.
  QVERIFY(kills > 0);
  QVERIFY(joinedOtherMode > 0);
  QVERIFY(firstOpenersByMode[0] > 0 && firstOpenersByMode[1] > 0);

  // Whatever the kills left behind, the next opener starts afresh and the last one out
  // leaves no lock file.
  Connection last;
  QVERIFY(OpenAdo(last, path, 1).ok());
  QCOMPARE(ModeOf(last), 1);
  QVERIFY(last.Close().ok());
  QVERIFY(!Exists(folder.file("stress.ldb")));
}

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--stress-worker") == 0)
    return RunWorker(argv[2], argv[3], std::atoi(argv[4]), static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)));
  QCoreApplication app(argc, argv);
  EngineStressTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "EngineStressTest.moc"
