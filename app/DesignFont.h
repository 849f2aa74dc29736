#pragma once

#include <QFont>

namespace quillet {

// The window was drawn around a small dialog font: its "Database File:" label, sized to
// its text, is 1020 twips wide. Most Linux desktops' default font is wider, and in the
// window's fixed layout its texts would run into each other. This gives the default font
// at the largest size, in quarter points, at which that label fits its designed width
// again, never below 7 points; a font that fits already is returned unchanged.
QFont FontFittingDesign(const QFont& font);

// Makes that font the application's default, for every window created afterwards.
void UseFontFittingDesign();

}  // namespace quillet
