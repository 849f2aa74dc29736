#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>

namespace quillet {

// Threshold: 0 = off, -1 = every entry, n > 0 = entries whose level is at most n.
extern int32_t LogLevel;
// Base name of the log file; empty means the executable's name without its extension.
extern QString LogName;
// Indentation depth, four spaces a step.
extern int32_t LogIndent;

void LogMessage(const QString& message, int32_t level = -1);
void LogMessageKind(const QString& message, int32_t level, int32_t kind);
void WriteLogEntry(const QString& message, int32_t level, int32_t kind, const QString& extra);

// The folder the daily files go to: $XDG_STATE_HOME, or ~/.local/state without it.
QString LogFolder();

// The clock the log stamps entries with; tests move it across midnight.
void SetLogClock(std::function<QDateTime()> clock);

}  // namespace quillet
