// doctor: how the Samba server on this computer serves databases: which shares serve each
// path, and what in their settings endangers shared Jet files or hides their users. It
// reads Samba's configuration through Samba's own testparm and changes nothing.

#include <algorithm>
#include <cstdio>

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include "platform/samba/SambaConfigReader.h"
#include "platform/samba/SambaFindings.h"
#include "platform/samba/SambaShares.h"
#include "tools/Commands.h"
#include "tools/Escaped.h"

namespace quilletctl {
namespace {

using quillet::SambaConfig;
using quillet::SambaFinding;
using quillet::SambaSection;

// A share to report, the names its findings are judged for, and the findings.
struct Judged {
  const SambaSection* share;
  std::vector<std::string> names;
  std::vector<SambaFinding> findings;
};

// The shares serving one asked path.
struct Asked {
  QByteArray path;
  std::vector<quillet::ServingShare> serving;
};

QString Text(const std::string& text) { return QString::fromStdString(text); }
// What smb.conf says, as text output shows any name: escaped.
QByteArray Shown(const std::string& text) { return Escaped(QByteArray::fromStdString(text)); }

Judged& JudgedFor(std::vector<Judged>& judged, const SambaSection* share) {
  const auto found = std::find_if(judged.begin(), judged.end(),
                                  [share](const Judged& j) { return j.share == share; });
  if (found != judged.end()) return *found;
  return judged.emplace_back(Judged{share, {}, {}});
}

// Every share serving an asked path, judged for the names of the paths it serves; with no
// path asked, every share of the configuration, judged for any database.
std::vector<Judged> JudgeShares(const SambaConfig& config, std::vector<Asked>& asked) {
  std::vector<Judged> judged;
  if (asked.empty()) {
    for (const SambaSection& share : config.shares) {
      if (!quillet::IsPrinterShare(config, share))
        judged.push_back({&share, quillet::JudgedNames(""), {}});
    }
  }
  for (Asked& path : asked) {
    path.serving = quillet::SharesServing(config, path.path.toStdString());
    for (const quillet::ServingShare& serving : path.serving) {
      std::vector<std::string>& names = JudgedFor(judged, serving.share).names;
      for (const std::string& name : quillet::JudgedNames(path.path.toStdString())) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
    }
  }
  for (Judged& share : judged)
    share.findings = quillet::FindingsOf(config, *share.share, share.names);
  return judged;
}

std::vector<std::string> Notes(const SambaConfig& config) {
  std::vector<std::string> notes = config.unseen;
  for (const std::string& include : config.perClientIncludes)
    notes.push_back("include = " + include +
                    " is named per client: the shares and settings those clients get are not "
                    "read here");
  return notes;
}

QJsonObject FindingJson(const SambaFinding& finding) {
  QJsonObject parameters;
  for (const auto& [name, value] : finding.parameters) parameters.insert(Text(name), Text(value));
  QJsonArray fix;
  for (const std::string& line : finding.fix) fix.append(Text(line));
  return QJsonObject{{"id", Text(finding.id)},
                     {"severity", Text(finding.severity)},
                     {"title", Text(finding.title)},
                     {"parameters", parameters},
                     {"risk", Text(finding.risk)},
                     {"source", Text(finding.source)},
                     {"fix", fix}};
}

QByteArray JsonReport(const SambaConfig& config, const std::vector<Asked>& asked,
                      const std::vector<Judged>& judged) {
  QJsonArray paths, shares, notes;
  for (const Asked& path : asked) {
    QJsonArray serving;
    for (const quillet::ServingShare& share : path.serving)
      serving.append(QJsonObject{{"name", Text(share.share->name)},
                                 {"serves", share.certain ? "yes" : "maybe"}});
    QJsonObject object{{"shares", serving}};
    AddPathField(&object, "path", path.path);
    paths.append(object);
  }
  for (const Judged& share : judged) {
    QJsonArray findings;
    for (const SambaFinding& finding : share.findings) findings.append(FindingJson(finding));
    shares.append(QJsonObject{{"name", Text(share.share->name)},
                              {"path", Text(config.value(*share.share, "path"))},
                              {"perUser", quillet::FilledInPerUser(config, *share.share)},
                              {"usershare", share.share->usershare},
                              {"findings", findings}});
  }
  for (const std::string& note : Notes(config)) notes.append(Text(note));
  return JsonLine(QJsonObject{{"samba", "read"},
                              {"configuration", Text(config.file)},
                              {"paths", paths},
                              {"shares", shares},
                              {"notes", notes}});
}

QByteArray ServingLine(const Asked& path) {
  QByteArrayList served, maybe;
  for (const quillet::ServingShare& share : path.serving)
    (share.certain ? served : maybe) << "[" + Shown(share.share->name) + "]";
  QByteArray line = Escaped(path.path) + ": ";
  line += served.isEmpty() ? QByteArray("served by no share") : "served by " + served.join(", ");
  if (!maybe.isEmpty()) line += "; maybe by " + maybe.join(", ") + " (folders filled in per user)";
  return line + '\n';
}

QByteArray FindingText(const SambaFinding& finding) {
  QByteArray text =
      "  " + Shown(finding.severity + " " + finding.id + ": " + finding.title) + "\n    set:";
  for (const auto& [name, value] : finding.parameters)
    text += Shown(" " + name + " = " + value + ";");
  text.chop(1);
  text += "\n    risk: " + Shown(finding.risk) + "\n    advice: " + Shown(finding.source) +
          "\n    fix:\n";
  for (const std::string& line : finding.fix) text += "      " + Shown(line) + '\n';
  return text;
}

QByteArray TextReport(const SambaConfig& config, const std::vector<Asked>& asked,
                      const std::vector<Judged>& judged) {
  QByteArray text = "Samba's configuration: " + Shown(config.file) + '\n';
  for (const Asked& path : asked) text += ServingLine(path);
  for (const Judged& share : judged) {
    text += "[" + Shown(share.share->name) + "] ";
    text += quillet::FilledInPerUser(config, *share.share)
                ? QByteArray("(a folder filled in per user)")
                : Shown(config.value(*share.share, "path"));
    text += share.findings.empty() ? ": no finding\n" : "\n";
    for (const SambaFinding& finding : share.findings) text += FindingText(finding);
  }
  for (const std::string& note : Notes(config)) text += "note: " + Shown(note) + '\n';
  return text;
}

}  // namespace

int Doctor(const QList<QByteArray>& paths, bool json) {
  if (paths.contains(QByteArray())) return UsageError("doctor: an empty PATH");
  const SambaConfig config = quillet::ReadSambaConfig({});
  if (!config.read) {
    if (json) Print(JsonLine(QJsonObject{{"samba", "not read: " + Text(config.reason)}}));
    std::fprintf(stderr, "quilletctl: doctor: Samba's configuration not read: %s\n",
                 Shown(config.reason).constData());
    return Finish(kExitEngineError);
  }
  std::vector<Asked> asked;
  for (const QByteArray& path : paths) asked.push_back({path, {}});
  const std::vector<Judged> judged = JudgeShares(config, asked);
  Print(json ? JsonReport(config, asked, judged) : TextReport(config, asked, judged));
  const bool found = std::any_of(judged.begin(), judged.end(),
                                 [](const Judged& share) { return !share.findings.empty(); });
  return Finish(found ? kExitFindings : kExitOk);
}

}  // namespace quilletctl
