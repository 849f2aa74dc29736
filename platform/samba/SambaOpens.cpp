#include "platform/samba/SambaOpens.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>
#include <cmath>
#include <limits>
#include <optional>

namespace quillet {

namespace {

SambaTable NotUnderstood(const std::string& why) {
  return {false, "smbstatus printed what is not understood: " + why, {}, {}};
}

// Samba writes device and inode numbers as signed 64-bit JSON integers, so those past
// 2^63 come out negative; the cast gives them back.
std::optional<uint64_t> FileIdNumber(const QJsonValue& value) {
  const QVariant number = value.toVariant();
  if (number.typeId() != QMetaType::LongLong) return std::nullopt;
  return static_cast<uint64_t>(number.toLongLong());
}

// The session an open belongs to: the same smbd process and the same account.
QJsonObject SessionOf(const QJsonObject& sessions, const QJsonObject& open) {
  for (const QJsonValue& value : sessions) {
    const QJsonObject session = value.toObject();
    if (session.value("server_id") == open.value("server_id") &&
        session.value("uid") == open.value("uid")) {
      return session;
    }
  }
  // Samba reads its sessions and opens one after the other: a client that has just logged
  // off may leave an open without its session. The open still counts, unnamed.
  return {};
}

// An offset or length as Samba writes it, an unsigned 64-bit number: past the largest
// offset Linux knows (2^63 - 1), the largest. Nullopt for anything but a whole number.
std::optional<off_t> Offset(const QJsonValue& value) {
  constexpr off_t kLargest = std::numeric_limits<off_t>::max();
  const QVariant number = value.toVariant();
  if (number.typeId() == QMetaType::LongLong)
    return number.toLongLong() < 0 ? kLargest : off_t(number.toLongLong());
  // A number past 2^63 comes as a double; whole, as Samba's are.
  if (number.typeId() == QMetaType::Double && number.toDouble() >= 0x1p63 &&
      number.toDouble() == std::floor(number.toDouble()))
    return kLargest;
  return std::nullopt;
}

// The locks of one entry of "byte_range_locks" (a file), appended to the table's.
bool AddLocks(const QJsonObject& file, SambaTable* table) {
  const QJsonObject fileId = file.value("fileid").toObject();
  const std::optional<uint64_t> device = FileIdNumber(fileId.value("devid"));
  const std::optional<uint64_t> inode = FileIdNumber(fileId.value("inode"));
  if (!device || !inode || !file.value("locks").isArray()) return false;
  for (const QJsonValue& value : file.value("locks").toArray()) {
    const QJsonObject lock = value.toObject();
    const std::optional<off_t> start = Offset(lock.value("start"));
    const std::optional<off_t> size = Offset(lock.value("size"));
    const QString type = lock.value("type").toString();
    if (!start || !size || (type != "R" && type != "W")) return false;
    const off_t end = *size > std::numeric_limits<off_t>::max() - *start
                          ? std::numeric_limits<off_t>::max()
                          : *start + *size;
    table->locks.push_back(
        {static_cast<dev_t>(*device), static_cast<ino_t>(*inode), type == "W", *start, end});
  }
  return true;
}

}  // namespace

SambaTable ParseSmbstatusJson(const QByteArray& json) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(json, &error);
  if (error.error != QJsonParseError::NoError) {
    return NotUnderstood("not JSON (" + error.errorString().toStdString() + " at byte " +
                         std::to_string(error.offset) + ")");
  }
  const QJsonObject root = document.object();
  if (!root.value("open_files").isObject() || !root.value("sessions").isObject())
    return NotUnderstood("no \"open_files\" and \"sessions\" objects");
  const QJsonObject sessions = root.value("sessions").toObject();
  const QJsonObject files = root.value("open_files").toObject();

  SambaTable table{true, {}, {}, {}};
  for (auto file = files.begin(); file != files.end(); ++file) {
    const std::string name = file.key().toStdString();
    const QJsonObject fileId = file->toObject().value("fileid").toObject();
    const std::optional<uint64_t> device = FileIdNumber(fileId.value("devid"));
    const std::optional<uint64_t> inode = FileIdNumber(fileId.value("inode"));
    const QJsonValue opens = file->toObject().value("opens");
    if (!device || !inode || !opens.isObject())
      return NotUnderstood("no device, inode or opens for " + name);
    for (const QJsonValue& value : opens.toObject()) {
      const QJsonObject open = value.toObject();
      const QJsonObject shares = open.value("sharemode").toObject();
      if (!shares.value("READ").isBool() || !shares.value("WRITE").isBool())
        return NotUnderstood("no share mode for an open of " + name);
      // A Jet engine opens a database to read and write it, so an open that does not share
      // both shuts it out.
      const bool shutsOut = !shares.value("READ").toBool() || !shares.value("WRITE").toBool();
      const QJsonObject session = SessionOf(sessions, open);
      table.opens.push_back({static_cast<dev_t>(*device), static_cast<ino_t>(*inode),
                             session.value("remote_machine").toString().toStdString(),
                             session.value("username").toString().toStdString(),
                             session.value("hostname").toString().toStdString(),
                             shutsOut ? "exclusive" : "shared", shutsOut});
    }
  }
  const QJsonValue locks = root.value("byte_range_locks");
  if (!locks.isUndefined() && !locks.isObject())
    return NotUnderstood("\"byte_range_locks\" is not an object");
  const QJsonObject lockedFiles = locks.toObject();
  for (auto file = lockedFiles.begin(); file != lockedFiles.end(); ++file) {
    if (!AddLocks(file->toObject(), &table))
      return NotUnderstood("a byte-range lock of " + file.key().toStdString() +
                           " without a file id, type, start or size");
  }
  return table;
}

std::vector<SambaOpen> OpensOf(const SambaTable& table, dev_t device, ino_t inode) {
  std::vector<SambaOpen> found;
  for (const SambaOpen& open : table.opens) {
    if (open.device == device && open.inode == inode) found.push_back(open);
  }
  return found;
}

std::vector<SambaLock> SambaLocksOf(const SambaTable& table, dev_t device, ino_t inode) {
  std::vector<SambaLock> found;
  for (const SambaLock& lock : table.locks) {
    if (lock.device == device && lock.inode == inode) found.push_back(lock);
  }
  return found;
}

}  // namespace quillet
