#include "app/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

#include "platform/base/Posix.h"

namespace quillet {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe lives as long as the process: a signal may arrive while an instance is being
// destroyed, and its handler must still find a valid descriptor to write to.
int g_pipe[2] = {-1, -1};

void OnStopSignal(int signal) {
  const int savedErrno = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  // Non-blocking: when the pipe is full, enough stops are pending already. The one system call
  // made outside the seam: a signal handler may call only what is async-signal-safe, and the
  // seam's faults are kept under a mutex.
  (void)!::write(g_pipe[1], &number, 1);
  errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (g_pipe[0] < 0 && posix::Pipe(g_pipe, O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::readPending);

  // The program's own system calls carry on undisturbed (SA_RESTART).
  for (int signal : kStopSignals) (void)posix::HandleSignal(signal, OnStopSignal);
}

StopSignals::~StopSignals() {
  if (notifier_ == nullptr) return;
  for (int signal : kStopSignals) (void)posix::HandleSignal(signal, SIG_DFL);
}

void StopSignals::readPending() {
  unsigned char numbers[16];
  const ssize_t count = posix::Read(g_pipe[0], numbers, sizeof numbers);
  for (ssize_t i = 0; i < count; ++i) emit received(numbers[i]);
}

}  // namespace quillet
