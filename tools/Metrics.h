#pragma once

// scan --metrics: what a scan found, in Prometheus' text exposition format, for the node
// exporter's textfile collector.

#include <QByteArray>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/engine/DatabaseScan.h"

namespace quilletctl {

// A risky setting of a Samba share that serves a database the scan found: the share's name
// and the finding's id as Samba's configuration reader names it ("oplocks",
// "posix-locking-off").
struct ShareFinding {
  std::string share;
  std::string id;
};

// What one scan found and how it went.
struct ScanFigures {
  const std::vector<quillet::DatabaseScan>* scans = nullptr;  // absent ones are left out
  size_t unreadableFolders = 0;  // DIRs and folders inside them that could not be read
  bool success = false;          // every DIR could be read (scan did not exit 1)
  bool sambaRead = false;        // Samba's table of open files was read
  double durationSeconds = 0;
  double finishedAt = 0;  // Unix time
  std::vector<ShareFinding> shareFindings;
};

// At most this many paths get series of their own (databases someone is in, lock files nobody
// holds), the first in the scan's order; the others are counted in quillet_path_series_omitted.
// A share with thousands of open databases must not make thousands of series.
inline constexpr size_t kMaxPathSeries = 200;

// Every family with HELP and TYPE, its samples together; label values escaped as the format
// wants (backslash, double quote, newline). A path that is not UTF-8 gets its text with
// U+FFFD for the bytes it cannot show, and a label path_base64 with its exact bytes.
QByteArray MetricsText(const ScanFigures& figures);

// Writes `text` to `path` as a whole or not at all: a temporary file in the same folder
// (".quillet-metrics-XXXXXX", which the textfile collector ignores: it reads *.prom only),
// flushed to disk, then renamed over `path`. False with the reason in *error.
bool WriteMetricsFile(const QByteArray& path, const QByteArray& text, std::string* error);

}  // namespace quilletctl
