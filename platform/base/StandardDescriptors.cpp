#include "platform/base/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quillet {

void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower numbers are open by now, so this lands on fd itself.
    const int null = ::open("/dev/null", O_RDONLY | O_NOCTTY);
    if (null >= 0 && null != fd) {
      (void)::dup2(null, fd);
      ::close(null);
    }
  }
}

}  // namespace quillet
