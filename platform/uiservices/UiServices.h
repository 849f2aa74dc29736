#pragma once

#include <QString>
#include <cstdint>

#include "platform/base/Status.h"

class QWidget;

namespace quillet {

inline constexpr int vbInformation = 64;
inline constexpr int vbExclamation = 48;

inline constexpr int vbDefault = 0;     // MousePointer: the default arrow
inline constexpr int vbHourglass = 11;  // MousePointer: busy

inline constexpr int32_t cdlCancel = 32755;  // "Cancel was selected."

// What the file-open dialog is asked for; FileName carries the initial name in and the
// chosen path out.
struct OpenFileRequest {
  QString DialogTitle;
  QString Filter;  // "Description|pattern[|Description|pattern...]"
  QString FileName;
  bool CancelError = true;
};

// The windowing services the workflow calls. The Qt implementation is QtUiServices; tests
// replace only the parts that need a person (the message box and the file dialog).
class UiServices {
 public:
  virtual ~UiServices() = default;

  // Modal message box with one OK button and the application's title; icon is
  // vbInformation or vbExclamation. Returns once dismissed.
  virtual void MsgBox(const QString& text, int icon) = 0;

  // Shows the file-open dialog. On OK, request.FileName holds the chosen path and the
  // result is OK; on Cancel with CancelError set the result is cdlCancel.
  virtual Status ShowOpen(OpenFileRequest& request) = 0;

  // Window.MousePointer: vbHourglass while working, vbDefault afterwards.
  virtual void SetMousePointer(QWidget& window, int pointer) = 0;
  virtual int MousePointer(const QWidget& window) const = 0;

  // Screen.MousePointer: the application-wide pointer.
  virtual int ScreenMousePointer() const = 0;
  virtual void SetScreenMousePointer(int pointer) = 0;

  // DoEvents: processes the pending window events once, without waiting.
  virtual void DoEvents() = 0;
  // Sleeps in the event loop until an event arrives or maxMilliseconds pass, and
  // processes what arrived.
  virtual void WaitForEvents(int maxMilliseconds) = 0;
};

}  // namespace quillet
