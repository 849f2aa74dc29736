#include "support/RecordingUi.h"

namespace quillet::test {

void RecordingUi::MsgBox(const QString& text, int icon) {
  messages.append({text, icon});
  if (onMessage) onMessage(messages.last());
}

Status RecordingUi::ShowOpen(OpenFileRequest& request) {
  openRequests.append(request);
  if (cancelNext_) return Status::Error(cdlCancel, "Cancel was selected.");
  request.FileName = nextPath_;
  cancelNext_ = true;
  return Status::OK();
}

void RecordingUi::answerOpenWith(const QString& path) {
  cancelNext_ = false;
  nextPath_ = path;
}

void RecordingUi::answerOpenWithCancel() { cancelNext_ = true; }

}  // namespace quillet::test
