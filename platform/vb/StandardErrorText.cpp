#include "platform/vb/StandardErrorText.h"

#include "platform/base/VbErrors.h"

namespace quillet {

// Only VB's texts for the file and argument errors a user can meet. Engine errors (Jet and
// ADO numbers) are deliberately absent: their own description says more than a generic
// text would.
QString StandardErrorText(int32_t number) {
  const char* text = VbErrorText(number);
  return text != nullptr ? QString::fromLatin1(text) : QString();
}

}  // namespace quillet
