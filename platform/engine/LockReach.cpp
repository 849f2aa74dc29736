#include "platform/engine/LockReach.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/base/UniqueFd.h"

namespace quillet {

namespace {

// What the engine knows of each filesystem type, as mountinfo names it. A type not here
// (FUSE: sshfs, gvfsd-fuse, rclone, bindfs; vboxsf, vmhgfs, 9p, davfs) gets the cautious
// answer: its locks stay on this computer.
struct Filesystem {
  std::string_view type;
  LockReach reach;
  // The magic number fstatfs gives, for a file whose device mountinfo does not list; 0 where
  // the type is not told by it.
  unsigned long magic = 0;
  // Options (mount or filesystem ones) that keep its locks on this computer after all.
  std::array<std::string_view, 3> keptHere{};
};

constexpr LockReach kLocal = LockReach::kLocal;
constexpr LockReach kForwarded = LockReach::kForwarded;

constexpr Filesystem kFilesystems[] = {
    // On this computer's own disks or memory: only this kernel reaches them, so it sees every
    // lock, including those Samba, NFS's server and Wine take for their clients. fuseblk is a
    // FUSE driver of a local disk (ntfs-3g): nobody else reaches that disk. ext2 and ext3 give
    // ext4's magic number, msdos vfat's.
    {"ext4", kLocal, 0xEF53},
    {"ext2", kLocal},
    {"ext3", kLocal},
    {"xfs", kLocal, 0x58465342},
    {"btrfs", kLocal, 0x9123683E},
    {"zfs", kLocal, 0x2FC12FC1},
    {"f2fs", kLocal, 0xF2F52010},
    {"tmpfs", kLocal, 0x01021994},
    {"ramfs", kLocal, 0x858458F6},
    {"overlay", kLocal, 0x794C7630},
    {"jfs", kLocal, 0x3153464A},
    {"reiserfs", kLocal, 0x52654973},
    {"bcachefs", kLocal, 0xCA451A4E},
    {"nilfs2", kLocal},
    {"vfat", kLocal, 0x4D44},
    {"msdos", kLocal},
    {"exfat", kLocal, 0x2011BAB0},
    {"ntfs", kLocal},
    {"ntfs3", kLocal, 0x7366746E},
    {"fuseblk", kLocal},
    {"hfsplus", kLocal},
    {"squashfs", kLocal, 0x73717368},
    {"iso9660", kLocal},
    {"udf", kLocal},
    {"erofs", kLocal, 0xE0F5E1E2},
    // CIFS sends byte-range locks to the server unless told not to (nobrl).
    {"cifs", kForwarded, 0, {"nobrl"}},
    {"smb3", kForwarded, 0, {"nobrl"}},
    // NFS sends POSIX locks to the server's lock manager unless nolock or a local_lock that
    // covers them (posix or all) keeps them here; local_lock=flock leaves them forwarded.
    {"nfs", kForwarded, 0, {"nolock", "local_lock=posix", "local_lock=all"}},
    {"nfs4", kForwarded, 0, {"nolock", "local_lock=posix", "local_lock=all"}},
};

// A magic number tells no options: only a type whose reach hangs on none may be told by one.
static_assert(std::ranges::all_of(kFilesystems, [](const Filesystem& filesystem) {
  return filesystem.magic == 0 || filesystem.keptHere[0].empty();
}));

const Filesystem* KnownType(std::string_view type) {
  const auto it = std::ranges::find(kFilesystems, type, &Filesystem::type);
  return it == std::end(kFilesystems) ? nullptr : it;
}

const Filesystem* KnownMagic(unsigned long magic) {
  const auto it = std::ranges::find(kFilesystems, magic, &Filesystem::magic);
  return magic == 0 || it == std::end(kFilesystems) ? nullptr : it;
}

bool HasOption(std::string_view options, std::string_view wanted) {
  while (!options.empty()) {
    const size_t comma = options.find(',');
    if (options.substr(0, comma) == wanted) return true;
    if (comma == std::string_view::npos) break;
    options.remove_prefix(comma + 1);
  }
  return false;
}

std::string Unescaped(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const size_t end = line.find(' ');
    fields.push_back(line.substr(0, end));
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  return fields;
}

template <typename Number>
bool ToUnsigned(std::string_view text, Number* number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *number);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// This mount namespace's table, whole; none if it could not be opened or a read failed. A
// table cut short may lack the very line of a file's mount, or the most cautious of its bind
// mounts: no answer is then worked out from it.
std::optional<std::string> ReadMountInfo() {
  const UniqueFd fd(posix::Open("/proc/self/mountinfo", O_RDONLY));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t got =
        posix::ReadAt(fd.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()));
    if (got < 0) return std::nullopt;
    if (got == 0) return text;
    text.append(buffer, static_cast<size_t>(got));
  }
}

// What mountinfo lists for the mount of a file: the line of its mount ID where the kernel
// gives one; else (or for a mount of another mount namespace, which this one's table does not
// list) the lines of its device, several where bind mounts share one filesystem: should their
// options disagree, the most cautious class wins.
struct Listed {
  bool byId = false;  // found by the mount ID; else, where listed, by the device alone
  MountLocks mount;
  bool listed() const { return mount.source == MountSource::kMountTable; }
};

Listed FromMountInfo(std::string_view table, dev_t device, std::optional<uint64_t> id) {
  Listed found;
  while (!table.empty() && !found.byId) {
    const size_t newline = table.find('\n');
    const std::string_view line = table.substr(0, newline);
    table.remove_prefix(newline == std::string_view::npos ? table.size() : newline + 1);
    MountInfoEntry entry;
    if (!ParseMountInfoLine(line, &entry)) continue;
    const dev_t listed = makedev(entry.major, entry.minor);
    const bool itsId = id && entry.id == *id;
    if (!itsId && listed != device) continue;
    const LockReach reach = ClassifyMount(entry.type, entry.mountOptions, entry.superOptions);
    if (itsId || !found.listed() || reach > found.mount.reach) {
      found = Listed{itsId, MountLocks{.reach = reach,
                                       .source = MountSource::kMountTable,
                                       .type = entry.type,
                                       .mountPoint = entry.mountPoint}};
    }
  }
  return found;
}

// Answers worked out from mountinfo, remembered until the mount table changes: mountinfo,
// kept open, reports POLLPRI to poll() after any mount or unmount in this mount namespace.
// An answer is kept only for a mount that this namespace's table listed, and only if no
// change was told between the look that missed it and its keeping: so whenever a remembered
// answer is found, its mount is still mounted here and its number cannot be another's.
class RememberedMounts {
 public:
  static RememberedMounts& Shared() {
    static RememberedMounts remembered;
    return remembered;
  }

  // The answer kept under `key`, after forgetting every answer if the table has changed;
  // *generation is what keep() is to be given.
  std::optional<Listed> find(bool byId, uint64_t key, uint64_t* generation) {
    const std::lock_guard<std::mutex> lock(mutex_);
    *generation = Watch() ? generation_ : 0;
    const auto& answers = byId ? byId_ : byDevice_;
    const auto it = answers.find(key);
    return it == answers.end() ? std::nullopt : std::optional<Listed>(it->second);
  }

  void keep(bool byId, uint64_t key, const Listed& listed, uint64_t generation) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (Watch() && generation == generation_) (byId ? byId_ : byDevice_)[key] = listed;
  }

 private:
  // Forgets every answer if the table has changed since the last look. False if it cannot
  // be watched: then nothing is remembered.
  bool Watch() {
    if (!table_.valid()) table_ = UniqueFd(posix::Open("/proc/self/mountinfo", O_RDONLY));
    pollfd table{table_.get(), POLLPRI, 0};
    const bool watched = table_.valid() && posix::Poll({&table, 1}, 0) >= 0;
    if (!watched || (table.revents & (POLLPRI | POLLERR)) != 0) {
      byId_.clear();
      byDevice_.clear();
      ++generation_;
    }
    return watched;
  }

  std::mutex mutex_;
  UniqueFd table_;
  uint64_t generation_ = 1;  // 0: not watched
  std::unordered_map<uint64_t, Listed> byId_;
  std::unordered_map<uint64_t, Listed> byDevice_;
};

MountLocks FromMagic(int fd) {
  struct statfs info;
  if (posix::Fstatfs(fd, &info) != 0) return MountLocks{};
  MountLocks mount{.source = MountSource::kMagicNumber,
                   .magic = static_cast<unsigned long>(info.f_type)};
  if (const Filesystem* known = KnownMagic(mount.magic)) {
    mount.reach = known->reach;
    mount.type = std::string(known->type);
  }
  return mount;
}

std::optional<uint64_t> MountIdOf(const struct statx& info) {
  if ((info.stx_mask & STATX_MNT_ID) == 0) return std::nullopt;  // before Linux 5.8
  return info.stx_mnt_id;
}

MountLocks Classified(int fd, dev_t device, std::optional<uint64_t> id) {
  RememberedMounts& remembered = RememberedMounts::Shared();
  const uint64_t key = id ? *id : uint64_t{device};
  uint64_t generation = 0;
  std::optional<Listed> listed = remembered.find(id.has_value(), key, &generation);
  if (!listed) {
    // A table that cannot be read cannot tell the mount: the cautious answer, as for a failed
    // statx, never the magic number's, which knows nothing of bind mounts' options.
    const std::optional<std::string> table = ReadMountInfo();
    if (!table) return MountLocks{};
    listed = FromMountInfo(*table, device, id);
    // By the device alone, a mount of another namespace is only a mount of the same filesystem.
    if (id ? listed->byId : listed->listed())
      remembered.keep(id.has_value(), key, *listed, generation);
  }
  if (!listed->listed()) return FromMagic(fd);
  return std::move(listed->mount);
}

}  // namespace

const char* LockReachName(LockReach reach) {
  switch (reach) {
    case LockReach::kLocal: return "local";
    case LockReach::kForwarded: return "forwarded";
    case LockReach::kThisComputerOnly: break;
  }
  return "this computer only";
}

LockReach ClassifyMount(std::string_view type, std::string_view mountOptions,
                        std::string_view superOptions) {
  const Filesystem* known = KnownType(type);
  if (known == nullptr) return LockReach::kThisComputerOnly;
  for (const std::string_view option : known->keptHere) {
    if (!option.empty() && (HasOption(mountOptions, option) || HasOption(superOptions, option)))
      return LockReach::kThisComputerOnly;
  }
  return known->reach;
}

bool ParseMountInfoLine(std::string_view line, MountInfoEntry* entry) {
  // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT MOUNT-OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
  const std::vector<std::string_view> fields = Fields(line);
  if (fields.size() < 10 || !ToUnsigned(fields[0], &entry->id)) return false;
  const auto separator = std::find(fields.begin() + 6, fields.end(), "-");
  if (fields.end() - separator < 4) return false;
  const std::string_view device = fields[2];
  const size_t colon = device.find(':');
  if (colon == std::string_view::npos || !ToUnsigned(device.substr(0, colon), &entry->major) ||
      !ToUnsigned(device.substr(colon + 1), &entry->minor))
    return false;
  entry->mountPoint = Unescaped(fields[4]);
  entry->mountOptions = std::string(fields[5]);
  entry->type = Unescaped(separator[1]);
  entry->superOptions = std::string(separator[3]);
  return true;
}

MountLocks LocksOf(int fd) {
  struct statx info;
  if (posix::Statx(fd, STATX_MNT_ID, &info) != 0) return MountLocks{};
  return Classified(fd, makedev(info.stx_dev_major, info.stx_dev_minor), MountIdOf(info));
}

// A statx that fails cannot tell the mount, which is not the same as "local": the cautious
// answer, as for any type not known here. One that succeeds without a mount ID (a kernel
// before 5.8) is matched by the device.
MountLocks LocksOf(int fd, const struct stat& info) {
  struct statx mount;
  if (posix::Statx(fd, STATX_MNT_ID, &mount) != 0) return MountLocks{};
  return Classified(fd, info.st_dev, MountIdOf(mount));
}

MountLocks LocksOfPath(const std::string& path) {
  // O_PATH opens nothing: a FIFO or device is only named, never touched.
  UniqueFd fd(posix::Open(path, O_PATH));
  if (!fd.valid()) {
    const size_t slash = path.find_last_of('/');
    fd =
        UniqueFd(posix::Open(slash == std::string::npos ? "." : path.substr(0, slash + 1), O_PATH));
  }
  return fd.valid() ? LocksOf(fd.get()) : MountLocks{};
}

std::string FilesystemName(const MountLocks& mount) {
  switch (mount.source) {
    case MountSource::kMountTable: return mount.type.value_or("");
    case MountSource::kMagicNumber: {
      if (mount.type) return *mount.type;
      char name[32];
      std::snprintf(name, sizeof name, "unknown (0x%lx)", mount.magic);
      return name;
    }
    case MountSource::kUntold: break;
  }
  return "unknown";
}

const char* LocksName(const MountLocks& mount) {
  if (mount.reach != LockReach::kThisComputerOnly && mount.samba)
    return mount.samba->table ? "in Samba's table" : "hidden by Samba";
  return LockReachName(mount.reach);
}

namespace {

std::string SambaHidesReason(const SambaHiding& samba) {
  const std::string share = "Samba's share '" + samba.share + "'";
  const std::string served = samba.certain ? "The folder is served by " + share
                                           : "The folder may be served by " + share +
                                                 " (its folder is filled in per user)";
  const bool lockingOff = samba.setting.starts_with("locking");
  return served + ", which has " + samba.setting +
         ": Windows clients' locks there do not reach Linux, so their connections to the "
         "database cannot be seen. " +
         (lockingOff ? "Samba keeps no lock there at all: set locking = yes in the share."
                     : "Run Quillet as root on this server, where it reads Samba's own table "
                       "of locks, or set posix locking = yes in the share.");
}

}  // namespace

std::string LocksUnseenReason(const MountLocks& mount) {
  if (mount.seen()) return {};
  if (mount.reach != LockReach::kThisComputerOnly) return SambaHidesReason(*mount.samba);
  std::string where = "'" + FilesystemName(mount) + "'";
  if (mount.source == MountSource::kMountTable) where += " mounted at '" + mount.mountPoint + "'";
  return "The folder is on " + where +
         ", whose locks stay on this computer: other computers' connections to the database "
         "cannot be seen. Run Quillet on the file server.";
}

}  // namespace quillet
