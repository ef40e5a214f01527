#pragma once

class QApplication;

namespace ui {

// The program's look for every window: style, palette, font and control skins.
void ApplyLook(QApplication& app);

}  // namespace ui
