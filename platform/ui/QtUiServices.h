#pragma once

#include "platform/uiservices/UiServices.h"

namespace quillet {

// The real services, on Qt Widgets.
class QtUiServices : public UiServices {
 public:
  void MsgBox(const QString& text, int icon) override;
  Status ShowOpen(OpenFileRequest& request) override;
  void SetMousePointer(QWidget& window, int pointer) override;
  int MousePointer(const QWidget& window) const override;
  int ScreenMousePointer() const override;
  void SetScreenMousePointer(int pointer) override;
  void DoEvents() override;
  void WaitForEvents(int maxMilliseconds) override;
};

}  // namespace quillet
