#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <csignal>

namespace quillet::test {

QByteArray JetDatabaseBytes(JetVersion version, int pages, const char* engineName) {
  const int pageSize = version == JetVersion::Jet3 ? 2048 : 4096;
  QByteArray bytes(pageSize * pages, '\0');
  bytes[0] = 0x00;  // page type: database definition page
  bytes[1] = 0x01;
  const QByteArray name(engineName);
  for (int i = 0; i < name.size() && i < 16; ++i) bytes[4 + i] = name[i];
  bytes[0x14] = version == JetVersion::Jet3 ? 0x00 : 0x01;
  return bytes;
}

QString WriteFile(const QString& dir, const QString& name, const QByteArray& bytes) {
  const QString path = QDir(dir).filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(bytes) != bytes.size()) {
    qFatal("cannot write fixture %s", qPrintable(path));
  }
  return path;
}

QString WriteJetDatabase(const QString& dir, const QString& name, JetVersion version) {
  return WriteFile(dir, name, JetDatabaseBytes(version));
}

QString QuilletctlPath() {
  const QString path = qEnvironmentVariable("QUILLETCTL");
  if (path.isEmpty()) qFatal("QUILLETCTL is not set; run the tests through ctest");
  return path;
}

Holder::Holder(const QString& database, const QStringList& args)
    : process_(std::make_unique<QProcess>()) {
  process_->setProgram(QuilletctlPath());
  process_->setArguments(QStringList{QStringLiteral("hold"), database} + args);
  process_->start();
}

Holder::~Holder() {
  if (process_->state() != QProcess::NotRunning) stop();
}

bool Holder::waitUntilHolding(int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!output_.contains('\n')) {
    if (process_->state() == QProcess::NotRunning && process_->bytesAvailable() == 0) break;
    if (deadline.hasExpired()) return false;
    process_->waitForReadyRead(50);
    output_ += process_->readAllStandardOutput();
  }
  return output_.contains('\n') && process_->state() == QProcess::Running;
}

int Holder::stop() {
  if (process_->state() == QProcess::NotRunning) return process_->exitCode();
  ::kill(static_cast<pid_t>(process_->processId()), SIGTERM);
  if (!process_->waitForFinished(10000)) {
    process_->kill();
    process_->waitForFinished(5000);
  }
  return process_->exitCode();
}

void Holder::kill() {
  process_->kill();  // SIGKILL
  process_->waitForFinished(10000);
}

QString Holder::standardError() const {
  return QString::fromLocal8Bit(process_->readAllStandardError());
}

}  // namespace quillet::test
