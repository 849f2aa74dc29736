#pragma once

// Samba's status as the suites fake it: smbstatus --json output recorded from Samba 4.17
// (SMBSTATUS_RECORDINGS, tests/platform/samba/smbstatus) and stand-in programs.

#include <grp.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "platform/samba/SambaStatus.h"

namespace quillet::test {

inline QByteArray Recording(const char* name) {
  QFile file(QStringLiteral(SMBSTATUS_RECORDINGS "/") + name);
  if (!file.open(QIODevice::ReadOnly)) qFatal("no recording %s", name);
  return file.readAll();
}

// An executable script in `folder`; it leaves its PID in NAME.pid when it runs.
inline std::string StandIn(const QTemporaryDir& folder, const QString& name,
                           const QByteArray& body) {
  QFile file(folder.filePath(name));
  if (!file.open(QIODevice::WriteOnly) ||
      file.write("#!/bin/sh\necho $$ > \"$0.pid\"\n" + body + "\n") < 0 ||
      !file.setPermissions(file.permissions() | QFile::ExeOwner))
    qFatal("cannot write %s", qPrintable(file.fileName()));
  return file.fileName().toStdString();
}

// A reader of `program` that runs it as if an smbd ran here and we were root.
inline SambaStatusOptions StandInOptions(const std::string& program) {
  SambaStatusOptions options;
  options.program = program;
  options.smbdRuns = [] { return true; };
  options.rootOnly = false;
  return options;
}

// A process by this name (a copy of sleep, in `folder`) running until it goes, as `uid` if
// given (`folder` must then let that user in).
struct ProcessNamed : QProcess {
  ProcessNamed(const QString& folder, const QString& name, uid_t uid = uid_t(-1)) {
    const QString program = folder + '/' + name;
    if (!QFile::copy("/bin/sleep", program) ||
        !QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOther))
      qFatal("cannot copy sleep");
    if (uid != uid_t(-1)) {
      setChildProcessModifier([uid] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
            ::setresuid(uid, uid, uid) != 0)
          ::_exit(126);
      });
    }
    start(program, {"30"});
    if (!waitForStarted()) qFatal("cannot start %s", qPrintable(name));
  }
  ~ProcessNamed() override { kill(), waitForFinished(); }
};

}  // namespace quillet::test
