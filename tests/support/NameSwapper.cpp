#include "support/NameSwapper.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

namespace quillet::test {

namespace {

double Now() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs in the forked child: only calls that are safe after fork in a threaded process.
[[noreturn]] void Swap(uid_t uid, const std::vector<NameSwapper::Pair>& pairs, int seconds,
                       long* count) {
  if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                             ::setresuid(uid, uid, uid) != 0))
    ::_exit(126);
  const double end = Now() + seconds;
  std::atomic_ref<long> swaps(*count);
  while (Now() < end) {
    for (const auto& [a, b] : pairs) {
      for (int back = 0; back < 2; ++back) {
        if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
          swaps.store(-1);
          ::_exit(1);
        }
        swaps.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  ::_exit(0);
}

}  // namespace

NameSwapper::NameSwapper(uid_t uid, std::vector<Pair> pairs, int seconds) {
  void* shared =
      ::mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return;
  shared_ = static_cast<long*>(shared);
  *shared_ = 0;
  pid_ = ::fork();
  if (pid_ == 0) Swap(uid, pairs, seconds, shared_);
}

NameSwapper::~NameSwapper() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (shared_ != nullptr) ::munmap(shared_, sizeof(long));
}

long NameSwapper::swaps() const {
  return shared_ == nullptr ? -1 : std::atomic_ref<long>(*shared_).load();
}

}  // namespace quillet::test
