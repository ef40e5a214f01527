#pragma once

class QApplication;

namespace ui {

// The program's look and feel for every window: style, palette, font, control skins, and the
// keyboard and accessibility conventions of ui/Conventions.h.
void ApplyLook(QApplication& app);

}  // namespace ui
