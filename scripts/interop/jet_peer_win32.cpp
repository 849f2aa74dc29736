// A Windows program that uses a Jet lock file the way a Jet workstation does: its record at
// slot*64, and the slot's user lock, one byte at 0x10000001 + slot. Built with MinGW and run
// under Wine by scripts/interop-check.sh, to see that Quillet notices a real Windows lock.
//
//   jet_peer.exe LOCKFILE SLOT COMPUTER ACCOUNT [STOPFILE]
//
// Prints "ready" once it holds the slot, then waits until its standard input closes or
// STOPFILE exists, and leaves (its record stays, as a workstation's often does).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static DWORD WINAPI WaitForStdinEnd(LPVOID) {
  char buffer[256];
  DWORD got = 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: jet_peer LOCKFILE SLOT COMPUTER ACCOUNT [STOPFILE]\n");
    return 2;
  }
  // Plain "\n" line ends: the script reading this runs on Linux.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const DWORD slot = std::strtoul(argv[2], nullptr, 10);
  HANDLE file =
      CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "CreateFileA failed: %lu\n", GetLastError());
    return 1;
  }

  // Claim the slot before writing its record, so no record is written into a slot in use.
  OVERLAPPED at = {};
  at.Offset = 0x10000001 + slot;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    std::fprintf(stderr, "LockFileEx failed: %lu\n", GetLastError());
    return 1;
  }

  char record[64] = {};
  std::strncpy(record, argv[3], 32);
  std::strncpy(record + 32, argv[4], 32);
  OVERLAPPED where = {};
  where.Offset = slot * 64;
  DWORD written = 0;
  if (!WriteFile(file, record, sizeof record, &written, &where) || written != sizeof record) {
    std::fprintf(stderr, "WriteFile failed: %lu\n", GetLastError());
    return 1;
  }

  std::printf("ready\n");
  std::fflush(stdout);

  HANDLE reader = CreateThread(nullptr, 0, WaitForStdinEnd, nullptr, 0, nullptr);
  for (;;) {
    if (reader && WaitForSingleObject(reader, 100) == WAIT_OBJECT_0) break;
    if (!reader) Sleep(100);
    if (argc > 5 && GetFileAttributesA(argv[5]) != INVALID_FILE_ATTRIBUTES) break;
  }

  UnlockFileEx(file, 0, 1, 0, &at);
  CloseHandle(file);
  std::printf("left\n");
  std::fflush(stdout);
  return 0;
}
