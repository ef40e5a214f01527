#pragma once

// Desktop notifications through the freedesktop notification service on the session bus.

#include <string>

namespace platform {

// The address of the user's session bus: DBUS_SESSION_BUS_ADDRESS, else the user's bus socket
// $XDG_RUNTIME_DIR/bus when there is one; empty when there is no session bus. A bus is never
// launched for us: one started just now would have no notification service on it.
std::string SessionBusAddress();

// An address that names no bus; SessionBusAddress reads it as none.
inline constexpr const char* kNoBusAddress = "disabled:";

// With no session bus to be found, Qt's own connections (accessibility, the desktop portal)
// would have the D-Bus library launch one, whose daemon outlives the program. Called before Qt
// starts, this names no bus instead; the programs the window opens inherit that, and launch
// none either.
void KeepQtFromLaunchingABus();

struct Notification {
    std::string appName;
    // The name of the program's icon and desktop entry.
    std::string desktopEntry;
    std::string summary;
    std::string body;
};

// Asks the notification service to show the notification. Returns without waiting for an
// answer unless waitMs is above 0: a program about to end waits that long for the service to
// take it. Without a session bus, or with no service on it, nothing happens.
void DesktopNotify(const Notification& notification, int waitMs = 0);

}  // namespace platform
