#include "platform/samba/LimitedRun.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>
#include <tuple>

extern char** environ;

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;

// A pipe's two ends, closed when it goes.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    Close(read);
    Close(write);
  }
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Starts the child with both its outputs on pipes; its pid, or -1 and errno.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, Pipe& out,
            Pipe& err) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, err.write, STDERR_FILENO);
  // The child starts with default signal handling and nothing blocked, whatever the
  // calling thread has set up (an ignored SIGPIPE, a blocked SIGTERM).
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, program.c_str(), &files, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  if (error != 0) errno = error;
  return error == 0 ? pid : -1;
}

// Reads both pipes until each is at its end, the deadline passes or too much came.
LimitedRun::End ReadUntilClosed(Pipe& out, Pipe& err, LimitedRun& run, Clock::time_point deadline,
                                size_t maxOutput) {
  while (out.read >= 0 || err.read >= 0) {
    pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    const int ready = ::poll(fds, 2, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return LimitedRun::End::kTimedOut;
    for (auto [pipe, bytes, fd] : {std::tuple{&out, &run.out, fds[0]}, {&err, &run.err, fds[1]}}) {
      if (fd.revents == 0) continue;
      char buffer[65536];
      const ssize_t count = ::read(pipe->read, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        Pipe::Close(pipe->read);
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
    const pid_t done = ::waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno == ECHILD) {
      *status = 0;  // reaped by the kernel (SIGCHLD ignored): how it ended is lost
      return true;
    }
    if (Clock::now() >= deadline) break;
    // Its outputs are closed already, so it is about to end; a short nap is enough.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

}  // namespace

LimitedRun RunLimited(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit, size_t maxOutput) {
  const Clock::time_point deadline = Clock::now() + limit;
  LimitedRun run;
  Pipe out, err;
  if (out.read < 0 || err.read < 0) {
    run.code = errno;
    return run;
  }
  const pid_t pid = Spawn(program, arguments, out, err);
  if (pid < 0) {
    run.code = errno;
    return run;
  }
  Pipe::Close(out.write);
  Pipe::Close(err.write);

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
