#pragma once

// The program's own pictures, drawn in code so that they scale cleanly and need no files. Each is
// drawn for a device pixel ratio (a widget's devicePixelRatioF()), so that it stays sharp on a
// scaled screen; sizes are in device-independent pixels.

#include <QIcon>
#include <QPixmap>

namespace ui {

// The title banner across the top of a window.
QPixmap Banner(int width, int height, qreal dpr = 1.0);
// The program icon: a film frame with a downward arrow. It is also the mark on the banner, so
// that the window, its icon and the desktop's icon show one product.
QPixmap ProgramPicture(int size, qreal dpr = 1.0);
QIcon ProgramIcon();
// Small glyphs: the update icon beside "Check for updates..." and the menu icon.
QPixmap UpdateGlyph(int size, qreal dpr = 1.0);
QPixmap MenuGlyph(int size, qreal dpr = 1.0);

}  // namespace ui
