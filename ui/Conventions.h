#pragma once

// What every window shares for keyboard and assistive-technology users.

class QApplication;

namespace ui {

// Return or Enter presses the focused push button as Space does (dialogs keep their own
// default-button rules), and the accessibility of ui/Accessibility.h is installed. Safe to call
// more than once.
void InstallConventions(QApplication& app);

}  // namespace ui
