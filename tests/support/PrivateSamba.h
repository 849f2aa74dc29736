#pragma once

// A private Samba server on loopback for the suites that need a real one: its own smb.conf,
// port, lock, state and log folders in a temporary folder, started as root and stopped by its
// PID. The system's Samba, its configuration and its services are never touched.

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

namespace quillet::test {

// One share: its name and the smb.conf lines it adds ("oplocks = no"). Its folder is made
// under the server's temporary folder, writable by the guest every client logs on as.
struct PrivateShare {
  QString name;
  QStringList settings;
};

class PrivateSamba {
 public:
  // Why no private Samba can run here ("" where it can): not root, smbd or python3-impacket
  // missing. Suites QSKIP with it.
  static QString Unavailable();

  // Starts smbd with these shares (and these [global] lines beside its own) and waits until
  // it listens; running() says whether it does, log() why not.
  explicit PrivateSamba(const std::vector<PrivateShare>& shares, const QStringList& global = {});
  ~PrivateSamba();
  PrivateSamba(const PrivateSamba&) = delete;
  PrivateSamba& operator=(const PrivateSamba&) = delete;

  bool running() const { return running_; }
  QString log() const;
  int port() const { return port_; }
  // Its smb.conf: SMB_CONF_PATH for Samba's programs (testparm, smbstatus) that are to read it.
  QString configFile() const { return folder_.filePath("smb.conf"); }
  // The share's folder.
  std::string folder(const QString& share) const;

  // Runs one of the SMB clients of scripts/interop (as python3, the system's, which has
  // impacket) against this server with `arguments` after HOST and PORT, and gives its
  // standard output once it ends (within `timeoutMs`); its standard error goes to log().
  QByteArray client(const QString& script, const QStringList& arguments,
                    int timeoutMs = 30000) const;
  // The same client left running, for one that holds files until its input closes.
  std::unique_ptr<QProcess> startClient(const QString& script, const QStringList& arguments) const;

 private:
  QTemporaryDir folder_;
  QProcess smbd_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace quillet::test
