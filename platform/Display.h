#pragma once

// The display a start can use, found before the application object exists: Qt ends the
// program without a word the user would see when its platform cannot connect, so the choice
// is made and checked here. On a Wayland session the X server of the session (XWayland) is
// preferred: there the clipboard of every program reaches us, while a native Wayland client
// hears of it only while focused.

#include <map>
#include <string>

namespace platform {

// What can be reached from this process.
struct DisplayFacts {
    bool x11 = false;            // the X server DISPLAY names accepts a connection
    bool wayland = false;        // a Wayland compositor listens where WAYLAND_DISPLAY points
    bool waylandPlugin = false;  // Qt's Wayland platform plugin is installed
};

struct PlatformChoice {
    // The platform to hand Qt as "-platform"; empty when the user's own choice stands.
    std::string platform;
    // False when no display this start could use is there.
    bool usable = true;
};

// The environment variables that matter here, by name; a missing name is unset.
using Environment = std::map<std::string, std::string>;

// userArgument is the value of a "-platform" argument the user gave (empty: none). A choice
// the user made, by argument or QT_QPA_PLATFORM, is kept; it is only checked where it names
// the X or Wayland platform.
PlatformChoice ChoosePlatform(const Environment& environment, const std::string& userArgument,
                              const DisplayFacts& facts);

// The value of a "-platform" (or "--platform") argument in argv; empty when there is none.
std::string PlatformArgument(int argc, const char* const* argv);

// The variables ChoosePlatform and ProbeDisplays read, from this process's environment.
Environment CurrentEnvironment();

// Tries the displays the environment names. May take a moment: connecting to the X display of
// a Wayland session may start XWayland.
DisplayFacts ProbeDisplays(const Environment& environment);

// True when a Wayland compositor listens where the environment points.
bool WaylandReachable(const Environment& environment);

// Where the Wayland compositor's socket is, as its client library finds it; empty when the
// environment names none.
std::string WaylandSocketPath(const Environment& environment);

}  // namespace platform
