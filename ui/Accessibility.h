#pragma once

// How the windows' controls are announced to assistive technology beyond what Qt does: click
// labels as links or buttons, open popup menus among the application's windows, the items of an
// exclusive choice in a menu as radio buttons, and menu items that act only as a click could.

namespace ui {

// Installs the interfaces; windows call it before any interface is asked for. Safe to call more
// than once.
void InstallAccessibility();

}  // namespace ui
