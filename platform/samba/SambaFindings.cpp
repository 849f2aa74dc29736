#include "platform/samba/SambaFindings.h"

#include <algorithm>

#include "platform/base/AsciiCase.h"
#include "platform/engine/JetHeader.h"
#include "platform/engine/LockFile.h"
#include "platform/engine/SambaServing.h"

namespace quillet {

namespace {

// A Jet database's extensions and its lock file's.
constexpr std::string_view kExtensions[] = {kJetDatabaseExtensions[0], kJetDatabaseExtensions[1],
                                            kLockFileExtension};

// Samba's wildcard match of one pattern ('*' and '?'), with the usual backtracking to the
// last '*'.
bool WildcardMatches(std::string_view pattern, std::string_view name, bool caseSensitive) {
  const auto same = [caseSensitive](char a, char b) {
    return caseSensitive ? a == b : AsciiLower(a) == AsciiLower(b);
  };
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> ListEntries(std::string_view list) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t slash = std::min(list.find('/', start), list.size());
    if (slash > start) entries.emplace_back(list.substr(start, slash - start));
    start = slash + 1;
  }
  return entries;
}

// The section whose lines decide the share's parameters: a user's share takes them from
// the template share, else from [global].
std::string FixSection(const SambaConfig& config, const SambaSection& share) {
  if (!share.usershare) return "[" + share.name + "]";
  const std::string tmpl = config.value(config.global, "usershare template share");
  return "[" + (tmpl.empty() ? std::string("global") : tmpl) + "]";
}

std::vector<std::pair<std::string, std::string>> Evidence(
    const SambaConfig& config, const SambaSection& share,
    std::initializer_list<std::string_view> names) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const std::string_view name : names)
    values.emplace_back(std::string(name), config.value(share, name));
  return values;
}

bool CaseSensitive(const SambaConfig& config, const SambaSection& share) {
  // "Auto", the default, matches in any case for SMB2 and later clients.
  return config.flag(share, "case sensitive").value_or(false);
}

// The veto list with the database and lock file patterns it lacks added.
std::string VetoListFixed(const std::string& list) {
  std::vector<std::string> entries = ListEntries(list);
  for (const std::string_view extension : kExtensions) {
    const std::string pattern = "*" + std::string(extension);
    if (std::none_of(entries.begin(), entries.end(), [&pattern](const std::string& entry) {
          return EqualsIgnoringAsciiCase(entry, pattern);
        }))
      entries.push_back(pattern);
  }
  std::string fixed = "/";
  for (const std::string& entry : entries) fixed += entry + "/";
  return fixed;
}

SambaFinding LockingOff(const SambaConfig& config, const SambaSection& share,
                        const std::string& section) {
  return {"locking-off",
          "error",
          "locking is off: every lock request succeeds and none is kept",
          Evidence(config, share, {"locking"}),
          "Samba answers every lock request with success and keeps no lock: two workstations "
          "can take the same record, page or lock file slot at once and overwrite each other's "
          "changes. No client's lock reaches Linux or Samba's own table, so Quillet cannot see "
          "who is in.",
          "smb.conf(5), \"locking\"",
          {section, "locking = yes"}};
}

SambaFinding FakeOplocks(const SambaConfig& config, const SambaSection& share,
                         const std::string& section) {
  return {"fake-oplocks",
          "error",
          "every client is granted the oplock it asks for (fake oplocks)",
          Evidence(config, share, {"fake oplocks"}),
          "Samba grants each client the oplock it asks for however many have the file open, "
          "and never breaks one: several workstations cache the same database at once and "
          "overwrite each other's changes.",
          "smb.conf(5), \"fake oplocks\"",
          {section, "fake oplocks = no"}};
}

SambaFinding Oplocks(const SambaConfig& config, const SambaSection& share,
                     const std::string& section, bool caseSensitive) {
  // On a case sensitive share a list would need every spelling of each extension.
  const std::string fix =
      caseSensitive
          ? std::string("oplocks = no")
          : "veto oplock files = " + VetoListFixed(config.value(share, "veto oplock files"));
  return {"oplocks",
          "warning",
          "oplocks or leases can be granted on databases or lock files",
          Evidence(config, share,
                   {"oplocks", "level2 oplocks", "kernel oplocks", "smb2 leases",
                    "veto oplock files", "case sensitive"}),
          "A Windows client that opens a database or its lock file asks for an oplock or a "
          "lease, and Samba grants it one: the client then keeps reads, writes and locks in its "
          "own cache. If it stops or loses the network before writing them back, the database "
          "is corrupted; until then neither the other clients nor Quillet see what it holds.",
          "The Official Samba-3 HOWTO and Reference Guide, chapter \"File and Record Locking\"; "
          "Microsoft, \"Maintaining Transactional Integrity with OPLOCKS\"",
          {section, fix}};
}

SambaFinding PosixLockingOff(const SambaConfig& config, const SambaSection& share,
                             const std::string& section) {
  return {"posix-locking-off",
          "warning",
          "clients' locks are kept from Linux (posix locking = no)",
          Evidence(config, share, {"posix locking"}),
          "Samba keeps its clients' byte-range locks in its own table instead of turning them "
          "into Linux locks: programs on this server (Quillet, Wine, a backup) and NFS clients "
          "do not see them, so a Quillet that does not run as root takes a live workstation's "
          "record for one left behind.",
          "smb.conf(5), \"posix locking\"",
          {section, "posix locking = yes"}};
}

}  // namespace

bool NameListMatches(std::string_view list, std::string_view name, bool caseSensitive) {
  for (const std::string& entry : ListEntries(list)) {
    if (entry.find_first_of("<>\"") != std::string::npos) continue;
    if (WildcardMatches(entry, name, caseSensitive)) return true;
  }
  return false;
}

std::vector<std::string> JudgedNames(const std::string& path) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (IsJetDatabaseName(name)) return {name, LockFilePath(name)};
  std::vector<std::string> names;
  for (const std::string_view base : {"Database", "a"}) {
    for (const std::string_view extension : kExtensions) {
      for (const std::string& spelling : EveryAsciiCase(extension))
        names.push_back(std::string(base) + spelling);
    }
  }
  return names;
}

std::vector<std::string> HidingSettings(const SambaConfig& config, const SambaSection& share) {
  if (config.flag(share, "locking") == false) return {kSambaLockingOff};
  if (config.flag(share, "posix locking") == false) return {kSambaPosixLockingOff};
  return {};
}

std::vector<ShareFindingIds> ServingFindingIds(const SambaConfig& config, const std::string& path) {
  if (!config.read || config.shares.empty()) return {};
  return ServingFindingIds(config, SharesServing(config, path), path);
}

std::vector<ShareFindingIds> ServingFindingIds(const SambaConfig& config,
                                               const std::vector<ServingShare>& serving,
                                               const std::string& path) {
  std::vector<ShareFindingIds> shares;
  if (serving.empty()) return shares;
  const std::vector<std::string> names = JudgedNames(path);
  for (const ServingShare& one : serving) {
    ShareFindingIds share{one.share->name, one.certain, {}};
    for (const SambaFinding& finding : FindingsOf(config, *one.share, names))
      share.ids.push_back(finding.id);
    shares.push_back(std::move(share));
  }
  return shares;
}

std::vector<SambaFinding> FindingsOf(const SambaConfig& config, const SambaSection& share,
                                     const std::vector<std::string>& names) {
  std::vector<SambaFinding> findings;
  const std::string section = FixSection(config, share);
  const bool lockingOff = config.flag(share, "locking") == false;
  if (lockingOff) findings.push_back(LockingOff(config, share, section));
  if (config.flag(share, "fake oplocks") == true)
    findings.push_back(FakeOplocks(config, share, section));
  const bool caseSensitive = CaseSensitive(config, share);
  const std::string veto = config.value(share, "veto oplock files");
  const bool allVetoed = std::all_of(names.begin(), names.end(), [&](const std::string& name) {
    return NameListMatches(veto, name, caseSensitive);
  });
  if (config.flag(share, "oplocks") != false && !allVetoed)
    findings.push_back(Oplocks(config, share, section, caseSensitive));
  // Where locking is off there is no lock to keep from Linux or to show it.
  if (!lockingOff && config.flag(share, "posix locking") == false)
    findings.push_back(PosixLockingOff(config, share, section));
  return findings;
}

}  // namespace quillet
