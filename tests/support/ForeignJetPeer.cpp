// foreign_jet_peer: a Windows Jet engine (under Wine, or through Samba) as its locks show it.
//
//   foreign_jet_peer LOCKFILE SLOT COMPUTER ACCOUNT posix|ofd [nul|space]
//   foreign_jet_peer --database DATABASE posix|ofd
//
// Takes Jet's user lock for SLOT (1 byte at 0x10000001 + SLOT) and writes the slot's record,
// COMPUTER and ACCOUNT padded to 32 bytes each; "posix" locks with F_SETLK as Wine's server
// does, "ofd" with F_OFD_SETLK as Samba does. With --database it read-locks 0x10000001 of the
// database itself and writes nothing. Prints "ready"; on SIGTERM or SIGINT exits 0 leaving its
// record, as an engine that went away. Exit 1: could not open, lock or write; 2: usage.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr off_t kUserLockBase = 0x10000001;
constexpr size_t kNameSize = 32;

int Fail(const char* what) {
  std::fprintf(stderr, "foreign_jet_peer: %s: %s\n", what, std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool database = argc == 4 && std::string(argv[1]) == "--database";
  if (!database && argc != 6 && argc != 7) {
    std::fputs("usage: see the top of ForeignJetPeer.cpp\n", stderr);
    return 2;
  }
  const bool posix = std::string(argv[database ? 3 : 5]) == "posix";
  const char padding = argc == 7 && std::string(argv[6]) == "space" ? ' ' : '\0';
  const long slot = database ? 0 : std::atol(argv[2]);

  // Blocked before any lock is taken, so a stop that comes early still finds us waiting.
  sigset_t stop;
  sigemptyset(&stop);
  for (int signal : {SIGTERM, SIGINT}) sigaddset(&stop, signal);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  const int fd =
      ::open(argv[database ? 2 : 1], O_RDWR | O_CLOEXEC | (database ? 0 : O_CREAT), 0666);
  if (fd < 0) return Fail("open");
  struct flock lock {};
  lock.l_type = database ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kUserLockBase + slot;
  lock.l_len = 1;
  if (::fcntl(fd, posix ? F_SETLK : F_OFD_SETLK, &lock) != 0) return Fail("lock");
  if (!database) {
    char record[2 * kNameSize];
    std::memset(record, padding, sizeof record);
    std::memcpy(record, argv[3], std::min(std::strlen(argv[3]), kNameSize));
    std::memcpy(record + kNameSize, argv[4], std::min(std::strlen(argv[4]), kNameSize));
    if (::pwrite(fd, record, sizeof record, off_t{slot} * off_t{sizeof record}) !=
        ssize_t(sizeof record))
      return Fail("record");
  }

  std::puts("ready");
  if (std::fflush(stdout) != 0) return Fail("standard output");
  int signal = 0;
  while (sigwait(&stop, &signal) != 0) {
  }
  return 0;
}
