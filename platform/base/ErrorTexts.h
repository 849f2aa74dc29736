#pragma once

#include <cstdint>
#include <iterator>

namespace quillet {

// Every component's error texts are kept the same way: a table of numbers and the texts
// the real component shows for them.
struct ErrorText {
  int32_t number;
  const char* text;
};

// The text for `number` in `table`, or nullptr when the table has none.
template <typename Table>
constexpr const char* FindErrorText(const Table& table, int32_t number) {
  for (const ErrorText& entry : table) {
    if (entry.number == number) return entry.text;
  }
  return nullptr;
}

}  // namespace quillet
