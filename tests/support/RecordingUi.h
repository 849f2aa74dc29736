#pragma once

#include <QList>
#include <QString>
#include <functional>

#include "platform/ui/QtUiServices.h"

namespace quillet::test {

// The real Qt services with the two parts that need a person replaced: message boxes
// are recorded and return at once, and the file-open dialog returns a scripted answer.
// Pointers, the event pump and everything else stay real.
class RecordingUi : public QtUiServices {
 public:
  struct Message {
    QString text;
    int icon = 0;
  };

  void MsgBox(const QString& text, int icon) override;
  Status ShowOpen(OpenFileRequest& request) override;

  // The next ShowOpen answers with this path (OK) ...
  void answerOpenWith(const QString& path);
  // ... or with Cancel (the default when nothing is scripted).
  void answerOpenWithCancel();

  QList<Message> messages;
  QList<OpenFileRequest> openRequests;  // as the dialog received them
  // Called inside MsgBox before it returns, e.g. to check what is on screen meanwhile.
  std::function<void(const Message&)> onMessage;

 private:
  bool cancelNext_ = true;
  QString nextPath_;
};

}  // namespace quillet::test
