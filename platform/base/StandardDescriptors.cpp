#include "platform/base/StandardDescriptors.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"

namespace quillet {

void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat info;
    if (posix::Fstat(fd, &info) != EBADF) continue;
    // The seam opens it above 2; it is then put on the closed number.
    const UniqueFd null(posix::Open("/dev/null", O_RDONLY));
    if (null.valid()) (void)posix::Duplicate(null.get(), fd);
  }
}

}  // namespace quillet
