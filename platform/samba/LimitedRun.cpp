#include "platform/samba/LimitedRun.h"

#include <poll.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <thread>
#include <tuple>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;

// A pipe's two ends, closed when it goes.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
  int error = 0;  // of its making
  Pipe() {
    int ends[2];
    error = posix::Pipe(ends, 0);
    if (error != 0) return;
    read = UniqueFd(ends[0]);
    write = UniqueFd(ends[1]);
  }
};

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads both pipes until each is at its end, the deadline passes or too much came.
LimitedRun::End ReadUntilClosed(Pipe& out, Pipe& err, LimitedRun& run, Clock::time_point deadline,
                                size_t maxOutput) {
  while (out.read.valid() || err.read.valid()) {
    pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
    if (posix::Poll(fds, MillisecondsLeft(deadline)) <= 0) return LimitedRun::End::kTimedOut;
    for (auto [pipe, bytes, fd] : {std::tuple{&out, &run.out, fds[0]}, {&err, &run.err, fds[1]}}) {
      if (fd.revents == 0) continue;
      char buffer[65536];
      const ssize_t count = posix::Read(pipe->read.get(), buffer, sizeof buffer);
      if (count <= 0) {
        pipe->read.reset();
        continue;
      }
      bytes->append(buffer, count);
      if (size_t(run.out.size() + run.err.size()) > maxOutput)
        return LimitedRun::End::kTooMuchOutput;
    }
  }
  return LimitedRun::End::kExited;
}

// Waits until the deadline for the child to end by itself (not at all when `stop`), then
// kills it; reaps it either way. True when it ended by itself, its wait status in *status.
bool Reap(pid_t pid, Clock::time_point deadline, bool stop, int* status) {
  while (!stop) {
    const pid_t done = posix::WaitPid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno == ECHILD) {
      *status = 0;  // reaped by the kernel (SIGCHLD ignored): how it ended is lost
      return true;
    }
    if (Clock::now() >= deadline) break;
    // Its outputs are closed already, so it is about to end; a short nap is enough.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  (void)posix::SendSignal(pid, SIGKILL);
  (void)posix::WaitPid(pid, status, 0);
  return false;
}

}  // namespace

LimitedRun RunLimited(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit, size_t maxOutput) {
  const Clock::time_point deadline = Clock::now() + limit;
  LimitedRun run;
  Pipe out, err;
  pid_t pid = -1;
  run.code = out.error != 0 ? out.error : err.error;
  if (run.code == 0)
    run.code = posix::Spawn(program, arguments, out.write.get(), err.write.get(), &pid);
  if (run.code != 0) return run;
  out.write.reset();
  err.write.reset();

  run.end = ReadUntilClosed(out, err, run, deadline, maxOutput);
  int status = 0;
  if (!Reap(pid, deadline, run.end != LimitedRun::End::kExited, &status)) {
    if (run.end == LimitedRun::End::kExited) run.end = LimitedRun::End::kTimedOut;
    return run;
  }
  if (WIFSIGNALED(status)) {
    run.end = LimitedRun::End::kSignalled;
    run.code = WTERMSIG(status);
  } else {
    run.code = WEXITSTATUS(status);
  }
  return run;
}

}  // namespace quillet
