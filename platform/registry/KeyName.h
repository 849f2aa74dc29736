#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/WinReg.h"

namespace quillet::registry {

// Key and value names are compared without regard to case, as the registry does.
// Names are UTF-8 bytes; a valid name is folded with Unicode simple case folding
// ("SOFTWARE" = "software", "ÄPFEL" = "äpfel"). A name that is not valid UTF-8 has
// only its ASCII letters folded, so distinct byte names never merge.
std::string FoldCase(std::string_view name);

// Splits a subkey path ("SOFTWARE\Oxtaro\Utils") into its levels and appends them to
// levels. A null or empty path adds none. Trailing separators are ignored; a leading
// or doubled separator is ERROR_BAD_PATHNAME, a level over 255 characters
// ERROR_INVALID_PARAMETER, as the registry answers.
winreg::LONG AppendKeyLevels(winreg::LPCSTR subKey, std::vector<std::string>* levels);

// Levels joined with "\", each folded first when fold is true: the stored key path.
std::string JoinKeyLevels(const std::vector<std::string>& levels, size_t count, bool fold);

}  // namespace quillet::registry
