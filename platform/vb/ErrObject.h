#pragma once

#include <QString>
#include <cstdint>

#include "platform/base/Status.h"

namespace quillet {

// The current-error object: the number of the last failure (0 for none) and its
// description. Procedures that skip failing statements ("resume next") record each
// failure here and test the number afterwards; switching error mode clears it.
struct ErrObject {
  int32_t Number = 0;
  QString Description;

  void Clear();
  // Records a failed step; a successful one leaves an earlier failure in place.
  void Record(const Status& status);
  void Raise(int32_t number, const QString& description);
};

// The one current-error object of the user-interface thread.
ErrObject& Err();

// Switches to resume-next handling for the lifetime of the guard: the current error is
// cleared on entry, and cleared again on exit when the procedure switches back.
class OnErrorResumeNext {
 public:
  OnErrorResumeNext() { Err().Clear(); }
  ~OnErrorResumeNext() { Err().Clear(); }
  OnErrorResumeNext(const OnErrorResumeNext&) = delete;
  OnErrorResumeNext& operator=(const OnErrorResumeNext&) = delete;
};

}  // namespace quillet
