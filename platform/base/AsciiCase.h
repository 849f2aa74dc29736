#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// Case folding of the ASCII letters only, for names that are not text in any known
// encoding (bytes of a file name, ADO's property names): every other byte stays as it is.
constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiFolded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = AsciiLower(c);
  return folded;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Every spelling of `lower` (in lower case) with each of its letters in either case, the first
// letter changing fastest: ".mdb", ".Mdb", ".mDb", ".MDb", ..., ".MDB".
inline std::vector<std::string> EveryAsciiCase(std::string_view lower) {
  std::vector<size_t> letters;
  for (size_t i = 0; i < lower.size(); ++i) {
    if (lower[i] >= 'a' && lower[i] <= 'z') letters.push_back(i);
  }
  std::vector<std::string> spellings;
  for (size_t mask = 0; mask < (size_t{1} << letters.size()); ++mask) {
    std::string spelling(lower);
    for (size_t bit = 0; bit < letters.size(); ++bit) {
      if (mask >> bit & 1) spelling[letters[bit]] = char(spelling[letters[bit]] - 'a' + 'A');
    }
    spellings.push_back(std::move(spelling));
  }
  return spellings;
}

// Whether `text` ends in `end` ("Sales.MDB" in ".mdb").
inline bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         EqualsIgnoringAsciiCase(text.substr(text.size() - end.size()), end);
}

}  // namespace quillet
