#pragma once

// The program's own pictures, drawn in code so that they scale cleanly and need no files.

#include <QIcon>
#include <QPixmap>

namespace ui {

// The title banner across the top of a window.
QPixmap Banner(int width, int height);
// The maker's logo shown on the banner.
QPixmap Logo(int size);
// The program icon: a film frame with a downward arrow.
QPixmap ProgramPicture(int size);
QIcon ProgramIcon();
// Small glyphs: the update icon beside "Check for updates..." and the menu icon.
QPixmap UpdateGlyph(int size);
QPixmap MenuGlyph(int size);

}  // namespace ui
