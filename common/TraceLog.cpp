#include "common/TraceLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "platform/base/Posix.h"
#include "platform/vb/ErrObject.h"

namespace quillet {

int32_t LogLevel = 0;
QString LogName;
int32_t LogIndent = 0;

namespace {

constexpr int32_t kDefaultLevel = 5;

std::function<QDateTime()>& Clock() {
  static std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
  return clock;
}

// The executable's own name without its extension, as the program was started.
QString ExecutableBaseName() {
  std::string exe;
  if (posix::ReadLinkAt(AT_FDCWD, "/proc/self/exe", &exe) != 0) return QStringLiteral("quillet");
  return QFileInfo(QFile::decodeName(QByteArray::fromStdString(exe))).completeBaseName();
}

void AppendLine(const QString& path, const QString& line) {
  OnErrorResumeNext resumeNext;  // a lost entry never troubles the caller
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return;
  file.write((line + QStringLiteral("\r\n")).toUtf8());
}

}  // namespace

void LogMessage(const QString& message, int32_t level) { LogMessageKind(message, level, 0); }

void LogMessageKind(const QString& message, int32_t level, int32_t kind) {
  WriteLogEntry(message, level, kind, QString());
}

void WriteLogEntry(const QString& message, int32_t level, int32_t kind, const QString& extra) {
  if (LogLevel == 0) return;
  if (LogLevel != -1) {
    const int32_t effective = level == -1 ? kDefaultLevel : level;
    if (effective > LogLevel) return;
  }

  if (kind == 2) LogIndent = std::max(0, LogIndent - 1);
  if (kind == 3) LogIndent = 0;

  const QString base = LogName.isEmpty() ? ExecutableBaseName() : LogName;
  const QDateTime now = Clock()();
  const QString path =
      QDir(LogFolder())
          .filePath(base + '.' + now.date().toString(QStringLiteral("yyyyMMdd")) + ".log");

  QString line = now.time().toString(QStringLiteral("HH:mm:ss")) + ' ';
  if (!extra.isEmpty()) line += extra + ' ';
  line += QString(4 * LogIndent, ' ') + message;
  AppendLine(path, line);

  if (kind == 1) ++LogIndent;
}

QString LogFolder() {
  const QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (!state.isEmpty() && QDir::isAbsolutePath(state)) return state;
  return QDir::homePath() + QStringLiteral("/.local/state");
}

void SetLogClock(std::function<QDateTime()> clock) {
  Clock() = clock ? std::move(clock) : [] { return QDateTime::currentDateTime(); };
}

}  // namespace quillet
