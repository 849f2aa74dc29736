#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace quillet::test {

// Plays the user for a real modal dialog: from a timer, waits for the next modal widget
// to appear and hands it to `act`, which looks at it and must close it. Call before the
// code that shows the dialog. When no dialog comes within the time, `act` gets nullptr.
// The driver never asserts: a failed check inside `act` would return before the dialog is
// closed and leave the test blocked, so `act` records what it saw and the test checks it
// after the dialog has returned.
inline void WhenModalAppears(std::function<void(QWidget*)> act, int timeoutMs = 10000) {
  auto* poll = new QTimer(QCoreApplication::instance());
  poll->setInterval(10);
  auto* waited = new QElapsedTimer;
  waited->start();
  QObject::connect(poll, &QTimer::timeout, poll, [poll, waited, act, timeoutMs] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr && waited->elapsed() < timeoutMs) return;
    poll->stop();
    poll->deleteLater();
    delete waited;
    act(modal);
  });
  poll->start();
}

}  // namespace quillet::test
