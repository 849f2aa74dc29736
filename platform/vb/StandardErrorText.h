#pragma once

#include <QString>
#include <cstdint>

namespace quillet {

// VB's standard runtime text for an error number (Error$), or the empty text for numbers
// this platform has none for. Engine errors have none: their own description is used.
QString StandardErrorText(int32_t number);

}  // namespace quillet
