#pragma once

#include <QIcon>

namespace quillet {

// The program's icon, for the window and the message boxes: drawn from a 16-pixel design
// at 16 pixels and from the full design at every larger size, so each stays legible.
QIcon ApplicationIcon();

// The pictures of the window's two picture buttons: 16-pixel designs, drawn at whatever
// size and pixel density the button asks for.
QIcon OpenFolderPicture();
QIcon CheckLockingPicture();

}  // namespace quillet
