#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillet {

// Turns the signals that ask a program to end (SIGTERM from kill or a service manager,
// SIGINT from Ctrl+C, SIGHUP at logout) into a Qt signal, so that the window can close its
// database the ordinary way instead of dying with its lock file left behind. The signal
// handler only writes the number to a pipe; the event loop reads it, a nested one (a
// message box, a timed wait) included. One instance at a time; the default handling
// returns when it is destroyed.
class StopSignals : public QObject {
  Q_OBJECT

 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;

 signals:
  void received(int signal);

 private:
  void readPending();

  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quillet
