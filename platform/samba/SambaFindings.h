#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/samba/SambaConfig.h"
#include "platform/samba/SambaShares.h"

namespace quillet {

// Something in how a share is served that endangers shared Jet databases or hides their
// users from Quillet, with what shows it and how to put it right.
struct SambaFinding {
  std::string id;        // a short word scripts rely on: "oplocks", "locking-off", ...
  std::string severity;  // "error": databases get corrupted; "warning": they may be, or
                         // Quillet cannot see who is in
  std::string title;
  // The evidence: the effective values of the parameters that decide it.
  std::vector<std::pair<std::string, std::string>> parameters;
  std::string risk;
  std::string source;  // where the advice comes from, by document title
  // The smb.conf lines that fix it: the section's header, then its parameter lines.
  std::vector<std::string> fix;
};

// The file names whose oplocks matter for `path`: a database's own name and its lock file's,
// or, for anything else (a folder), every case of "*.mdb", "*.mde" and "*.ldb" for two
// sample names: what a database there could be called.
std::vector<std::string> JudgedNames(const std::string& path);

// Whether Samba's list of names (`veto oplock files`: "/*.mdb/Sales.ldb/") holds a pattern
// that matches `name`, as Samba matches it: "*" any run of characters, "?" any one, the
// rest literally, in any case unless `caseSensitive`. A pattern with DOS's wildcards
// ('<', '>', '"') is taken to match nothing.
bool NameListMatches(std::string_view list, std::string_view name, bool caseSensitive);

// The findings for one share, judged for these names (JudgedNames), in a fixed order.
std::vector<SambaFinding> FindingsOf(const SambaConfig& config, const SambaSection& share,
                                     const std::vector<std::string>& names);

// The settings of a share that keep Windows clients' locks from Linux ("locking = no",
// "posix locking = no"); empty where there are none.
std::vector<std::string> HidingSettings(const SambaConfig& config, const SambaSection& share);

// A share that serves a database, or may (SharesServing), with the ids of its findings for
// the database's names: what check, users and scan report of it.
struct ShareFindingIds {
  std::string name;
  bool certain = true;
  std::vector<std::string> ids;
};
std::vector<ShareFindingIds> ServingFindingIds(const SambaConfig& config, const std::string& path);
// The same for the shares found serving the path already (SharesServing), as for the files of
// one folder after another.
std::vector<ShareFindingIds> ServingFindingIds(const SambaConfig& config,
                                               const std::vector<ServingShare>& serving,
                                               const std::string& path);

}  // namespace quillet
