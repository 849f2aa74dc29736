#pragma once

#include <QString>
#include <string>

namespace quillet {

// Text conversions at the boundary between byte paths and descriptions (Linux file
// names are bytes) and the window's texts.
QString FromLocalBytes(const std::string& bytes);
std::string ToLocalBytes(const QString& text);

}  // namespace quillet
