#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/base/UniqueFd.h"

namespace quillet {

// Files reached through their folder, opened once. A path is looked up afresh by every call
// that is given it, so a folder renamed or swapped for a link between two calls sends the
// second elsewhere: a user who controls a folder on the way could make a program run as root
// delete or create files in a folder of root's. Every step on a database and its lock file
// is therefore made relative to the descriptor of the database's folder, and the names in it
// are looked at without following a link (but the database's own, which its user chose).

// A name in a folder opened elsewhere, which outlives every use of it.
struct NameAt {
  int folder = -1;
  std::string name;
};

// The folder a path names its last entry in, opened once (O_PATH | O_DIRECTORY, found by
// following the path as given, links included), and that last name ("." for a path that
// ends in '/').
class FolderOf {
 public:
  FolderOf() = default;  // none: not valid
  explicit FolderOf(const std::string& path);
  bool valid() const { return folder_.valid(); }
  int error() const { return error_; }  // the errno of the folder's open, when not valid
  int fd() const { return folder_.get(); }
  const std::string& name() const { return name_; }
  NameAt at(const std::string& name) const { return NameAt{folder_.get(), name}; }
  NameAt entry() const { return at(name_); }

 private:
  UniqueFd folder_;
  std::string name_;
  int error_ = EBADF;
};

// What a name in a folder is, seen through a descriptor that cannot act on it (O_PATH: no
// device's open runs, no FIFO blocks, nothing is read). A link there is followed with
// `followLink` (a database its user reached through one), else looked at itself.
struct LookedAt {
  UniqueFd handle;
  struct stat info {};
  int error = 0;  // of the look (ENOENT: nothing under that name) or of its fstat
};
LookedAt LookAt(const NameAt& file, bool followLink);

// The file looked at, opened with `flags`: that very inode, whatever its name names by now.
// The caller has made sure that it is a regular file. Invalid, with errno, on failure.
UniqueFd OpenLooked(const LookedAt& looked, int flags);

// A regular file under a name whose link is never followed (a lock file), opened with
// `flags`: looked at first (fstatat), so that a FIFO or device found there is never opened;
// opened with O_NOFOLLOW, so that a link put there meanwhile leads nowhere; and what was
// opened looked at again, anything but a regular file refused. Only a FIFO, or a device node
// already on the same filesystem (users cannot make one), renamed there in the microseconds
// between could be opened before being refused. Cheaper than the look through O_PATH and the
// reopen that the database needs, whose link is followed and so may lead anywhere.
struct OpenedAt {
  UniqueFd fd;
  struct stat info {};  // of the file opened; of what the name names, when it was not opened
  int error = 0;        // an errno, or kNotRegular (see info)
};
inline constexpr int kNotRegular = -2;
OpenedAt OpenRegularAt(const NameAt& file, int flags);

// Unlinks the name if it still names `examined` (its device and inode are looked at just
// before): 0, an errno, or kReplaced when the name names another file by now. Only a name in
// the same folder can have been swapped in between, by whoever may write that folder.
inline constexpr int kReplaced = -1;
int UnlinkIfStill(const NameAt& file, const struct stat& examined);

// Whether this process may create a file in the folder, and to whom the file then goes. In a
// folder of its own or of root's, a file is made as usual. In another user's folder, only
// where that user's own permission bits would let them write and enter it, and the new file
// is then handed to them: a program run as root never makes a file there that the folder's
// owner could not have made, nor leaves one of root's behind.
struct Creation {
  int error = 0;  // EACCES: the owner could not; or the folder's fstat failed
  bool handOver = false;
  uid_t owner = 0;
  gid_t group = 0;
};
Creation MayCreateIn(int folderFd);

// The last name of a path ("." for one that ends in '/').
std::string LastName(const std::string& path);

}  // namespace quillet
