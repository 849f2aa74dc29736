#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <utility>

#include "platform/ui/QtUiServices.h"

namespace quillet::test {

// The real Qt services but for the two that need a person: message boxes are recorded, and
// the file-open dialog returns a scripted answer (Cancel unless answerOpenWith was called).
class RecordingUi : public QtUiServices {
 public:
  struct Message {
    QString text;
    int icon = 0;
  };

  void MsgBox(const QString& text, int icon) override {
    messages.append({text, icon});
    if (onMessage) onMessage(messages.last());
  }
  Status ShowOpen(OpenFileRequest& request) override {
    openRequests.append(request);
    const QString answer = std::exchange(nextPath_, QString());
    if (answer.isNull()) return Status::Error(ErrorSource::kVbRuntime, cdlCancel, "Cancel was selected.");
    request.FileName = answer;
    return Status::OK();
  }
  void answerOpenWith(const QString& path) { nextPath_ = path; }  // a null path: Cancel

  QList<Message> messages;
  QList<OpenFileRequest> openRequests;  // as the dialog received them
  // Called inside MsgBox before it returns, e.g. to check what is on screen meanwhile.
  std::function<void(const Message&)> onMessage;

 private:
  QString nextPath_;  // null: Cancel
};

}  // namespace quillet::test
