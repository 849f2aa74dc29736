#include "platform/samba/SambaOpens.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>
#include <optional>

namespace quillet {

namespace {

SambaTable NotUnderstood(const std::string& why) {
  return {false, "smbstatus printed what is not understood: " + why, {}};
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

  SambaTable table{true, {}, {}};
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
  return table;
}

std::vector<SambaOpen> OpensOf(const SambaTable& table, dev_t device, ino_t inode) {
  std::vector<SambaOpen> found;
  for (const SambaOpen& open : table.opens) {
    if (open.device == device && open.inode == inode) found.push_back(open);
  }
  return found;
}

}  // namespace quillet
