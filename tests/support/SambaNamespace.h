#pragma once

#include <sys/types.h>

#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <string>

namespace quillet::test {

// Root's Samba as quilletctl looks for it, in a private mount namespace (unshare --mount, its
// mounts private): `smbstatus` copied to /usr/bin/smbstatus and a copy of sleep running as
// /usr/sbin/smbd, as `uid`. /usr/bin and /usr/sbin become overlays there whose upper layers
// are on a tmpfs of the namespace's own, so the real folders are only read, whether Samba is
// installed or not, and everything goes with the namespace when the smbd stand-in is
// stopped. Needs root, unshare and setpriv (util-linux), and overlayfs.
class SambaNamespace {
 public:
  explicit SambaNamespace(const std::string& smbstatus, uid_t uid = 0);
  ~SambaNamespace();
  SambaNamespace(const SambaNamespace&) = delete;
  SambaNamespace& operator=(const SambaNamespace&) = delete;

  // Why it could not be made; empty once it runs.
  const QString& failure() const { return failure_; }
  // For a child before its exec (OtherProcess's inChild): moves it into the namespace (where
  // it starts at /) and then into `folder`.
  std::function<void()> entering(const std::string& folder) const;

 private:
  QTemporaryDir layers_;
  QProcess smbd_;
  int namespace_ = -1;
  QString failure_;
};

}  // namespace quillet::test
