#include "platform/Display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QLibraryInfo>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "platform/UniqueFd.h"

namespace platform {

namespace {

std::string Get(const Environment& environment, const std::string& name) {
    const auto found = environment.find(name);
    return found != environment.end() ? found->second : std::string();
}

// Whether a start on the named Qt platform can reach its display. Platforms other than the X
// and Wayland ones (offscreen, vnc, a framebuffer) are the user's business.
bool Reachable(std::string_view name, const DisplayFacts& facts) {
    if (name == "xcb") {
        return facts.x11;
    }
    if (name.substr(0, 7) == "wayland") {
        return facts.wayland && facts.waylandPlugin;
    }
    return true;
}

bool ConnectsLocally(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd.valid() &&
           connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool X11Reachable(const Environment& environment) {
    const std::string display = Get(environment, "DISPLAY");
    if (display.empty()) {
        return false;
    }
    // The X library reads the display's name and authority from the environment itself.
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return ok;
}

bool WaylandPluginInstalled() {
    QStringList folders{QLibraryInfo::path(QLibraryInfo::PluginsPath)};
    if (const char* extra = std::getenv("QT_PLUGIN_PATH"); extra != nullptr) {
        folders += QString::fromLocal8Bit(extra).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    }
    for (const QString& folder : folders) {
        const QDir platforms(folder + QStringLiteral("/platforms"));
        if (!platforms.entryList({QStringLiteral("libqwayland*.so")}, QDir::Files).isEmpty()) {
            return true;
        }
    }
    return false;
}

}  // namespace

PlatformChoice ChoosePlatform(const Environment& environment, const std::string& userArgument,
                              const DisplayFacts& facts) {
    // As Qt itself reads them: the argument before the variable; a list is tried in order.
    const std::string chosen =
        !userArgument.empty() ? userArgument : Get(environment, "QT_QPA_PLATFORM");
    if (!chosen.empty()) {
        PlatformChoice choice{{}, false};
        std::string_view rest = chosen;
        while (!rest.empty() && !choice.usable) {
            const std::string_view entry = rest.substr(0, rest.find(';'));
            rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
            // A platform may carry options after a colon ("xcb:foo=1").
            const std::string_view name = entry.substr(0, entry.find(':'));
            choice.usable = !name.empty() && Reachable(name, facts);
        }
        return choice;
    }
    if (facts.x11) {
        return {"xcb", true};
    }
    if (facts.wayland && facts.waylandPlugin) {
        return {"wayland", true};
    }
    return {{}, false};
}

std::string PlatformArgument(int argc, const char* const* argv) {
    std::string value;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-platform" || argument == "--platform") {
            value = argv[++i];  // as with Qt, the last one counts
        }
    }
    return value;
}

Environment CurrentEnvironment() {
    Environment environment;
    for (const char* name :
         {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_RUNTIME_DIR"}) {
        if (const char* value = std::getenv(name); value != nullptr) {
            environment[name] = value;
        }
    }
    return environment;
}

std::string WaylandSocketPath(const Environment& environment) {
    std::string name = Get(environment, "WAYLAND_DISPLAY");
    if (name.empty()) {
        name = "wayland-0";  // the client library's default
    }
    if (name[0] == '/') {
        return name;
    }
    const std::string runtime = Get(environment, "XDG_RUNTIME_DIR");
    return runtime.empty() ? std::string() : runtime + "/" + name;
}

bool WaylandReachable(const Environment& environment) {
    // A compositor that started us may hand over a connected socket instead of a name; it can
    // be used once only, so it is trusted rather than tried.
    return !Get(environment, "WAYLAND_SOCKET").empty() ||
           ConnectsLocally(WaylandSocketPath(environment));
}

DisplayFacts ProbeDisplays(const Environment& environment) {
    DisplayFacts facts;
    facts.x11 = X11Reachable(environment);
    facts.wayland = WaylandReachable(environment);
    facts.waylandPlugin = facts.wayland && WaylandPluginInstalled();
    return facts;
}

}  // namespace platform
