#include "platform/vb/ErrObject.h"

#include "platform/vb/LocalBytes.h"

namespace quillet {

void ErrObject::Clear() {
  Number = 0;
  Description.clear();
}

void ErrObject::Record(const Status& status) {
  if (!status.ok()) Raise(status.number(), FromLocalBytes(status.description()));
}

void ErrObject::Raise(int32_t number, const QString& description) {
  Number = number;
  Description = description;
}

ErrObject& Err() {
  static thread_local ErrObject current;
  return current;
}

}  // namespace quillet
