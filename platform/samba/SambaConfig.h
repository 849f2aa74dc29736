#pragma once

#include <QByteArray>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet {

// One section of Samba's configuration as `testparm -s -v` prints it: every parameter it
// gives, by Samba's own name ("oplocks", "veto oplock files"), with the value as printed.
struct SambaSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> parameters;
  // Where the share comes from: the configuration, or a share a user made with
  // `net usershare add` (which testparm does not print).
  bool usershare = false;
  // The share's folder with links, "." and ".." resolved, once, when the configuration was
  // read; lexically normalised where the folder does not exist.
  std::string resolvedPath;

  const std::string* find(std::string_view parameter) const;
};

// Samba's effective configuration, read the way Samba reads it, or why it could not be.
struct SambaConfig {
  bool read = false;
  std::string reason;  // "testparm did not answer within 2000 ms", ...
  std::string file;    // the file testparm loaded, as it names it
  // [global], holding the default of every parameter, and the shares, in the file's order.
  SambaSection global;
  std::vector<SambaSection> shares;
  // Included files as Samba named them; those named per client or user ("%m.conf") apart,
  // as written: which file a client gets is known only once it connects.
  std::vector<std::string> includes;
  std::vector<std::string> perClientIncludes;
  // What could not be seen although the configuration was read ("usershares ... could not
  // be read: Permission denied").
  std::vector<std::string> unseen;

  // The value Samba uses for `parameter` in `share`: the share's own, else [global]'s. Empty
  // where neither gives it (not a parameter testparm -v prints).
  std::string value(const SambaSection& share, std::string_view parameter) const;
  // The same for a boolean parameter; nullopt where the value is no boolean.
  std::optional<bool> flag(const SambaSection& share, std::string_view parameter) const;
};

// Samba's booleans: yes/no, true/false, on/off, 1/0, in any case.
std::optional<bool> SambaBool(std::string_view value);

// The parameters Quillet judges: [global] must give each (testparm -v prints every default).
inline constexpr std::string_view kJudgedParameters[] = {"oplocks",
                                                         "level2 oplocks",
                                                         "kernel oplocks",
                                                         "fake oplocks",
                                                         "smb2 leases",
                                                         "locking",
                                                         "posix locking",
                                                         "case sensitive",
                                                         "veto oplock files",
                                                         "printable",
                                                         "path",
                                                         "usershare max shares",
                                                         "usershare path",
                                                         "usershare template share",
                                                         "registry shares",
                                                         "state directory"};

// What `testparm -s -v -d4` printed: the configuration on standard output, and on standard
// error the file it loaded ("Load smb config files from FILE") and each parameter as written
// ("doing parameter include = /etc/samba/%m.conf"). Output it does not understand gives a
// configuration that is not read, with the reason.
SambaConfig ParseTestparm(const QByteArray& out, const QByteArray& err);

// The file testparm says it loaded, from its standard error; empty if it does not say.
std::string TestparmLoadedFile(const QByteArray& err);

}  // namespace quillet
