#pragma once

#include <QByteArray>
#include <chrono>
#include <string>
#include <vector>

namespace quillet {

// How a program run by RunLimited ended, and what it printed.
struct LimitedRun {
  enum class End { kExited, kSignalled, kTimedOut, kTooMuchOutput, kNotStarted };
  End end = End::kNotStarted;
  int code = 0;  // the exit status, the signal, or the errno of a start that failed
  QByteArray out;
  QByteArray err;
};

// Runs `program` (a path) with `arguments`, standard input from /dev/null and this process's
// environment, from any thread and without an event loop. One that runs past `limit` or
// prints more than `maxOutput` bytes is killed by its PID; every child is reaped before this
// returns, so the caller waits at most the limit and the moment a killed process takes to go.
LimitedRun RunLimited(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit, size_t maxOutput);

}  // namespace quillet
