#include <gtest/gtest.h>

#include <QLocalServer>

#include "platform/Display.h"
#include "tests/support/TempDir.h"

using namespace platform;

TEST(Display, ThePlatformChoiceFollowsTheUserThenPrefersTheXDisplay) {
    const DisplayFacts none{};
    const DisplayFacts x11Only{true, false, false};
    const DisplayFacts waylandSession{true, true, true};        // XWayland and a compositor
    const DisplayFacts waylandNoX{false, true, true};           // compositor without XWayland
    const DisplayFacts waylandNoXNoPlugin{false, true, false};  // and no Qt Wayland plugin
    struct Case {
        const char* name;
        Environment environment;
        std::string argument;
        DisplayFacts facts;
        PlatformChoice expected;
    };
    const Case cases[] = {
        {"X11 session", {}, "", x11Only, {"xcb", true}},
        {"Wayland session with XWayland", {}, "", waylandSession, {"xcb", true}},
        {"Wayland session without XWayland", {}, "", waylandNoX, {"wayland", true}},
        {"nothing Qt could use", {}, "", waylandNoXNoPlugin, {"", false}},
        {"no display at all", {}, "", none, {"", false}},
        {"an empty variable is no choice",
         {{"QT_QPA_PLATFORM", ""}},
         "",
         waylandSession,
         {"xcb", true}},
        {"the user's variable stands",
         {{"QT_QPA_PLATFORM", "wayland"}},
         "",
         waylandSession,
         {"", true}},
        {"the user's argument stands", {}, "wayland", waylandSession, {"", true}},
        {"the argument before the variable",
         {{"QT_QPA_PLATFORM", "xcb"}},
         "wayland",
         waylandNoX,
         {"", true}},
        {"a chosen X display that is not there",
         {{"QT_QPA_PLATFORM", "xcb"}},
         "",
         waylandNoX,
         {"", false}},
        {"a chosen Wayland without the plugin",
         {{"QT_QPA_PLATFORM", "wayland-egl"}},
         "",
         waylandNoXNoPlugin,
         {"", false}},
        {"a list: any usable entry will do",
         {{"QT_QPA_PLATFORM", "wayland;xcb:opt=1"}},
         "",
         x11Only,
         {"", true}},
        {"a list of unusable entries",
         {{"QT_QPA_PLATFORM", "xcb;;wayland"}},
         "",
         none,
         {"", false}},
        {"other platforms are the user's business",
         {{"QT_QPA_PLATFORM", "offscreen"}},
         "",
         none,
         {"", true}},
    };
    for (const Case& c : cases) {
        const PlatformChoice got = ChoosePlatform(c.environment, c.argument, c.facts);
        EXPECT_EQ(got.platform, c.expected.platform) << c.name;
        EXPECT_EQ(got.usable, c.expected.usable) << c.name;
    }
}

TEST(Display, TheCompositorIsFoundWhereItsClientLibraryLooks) {
    testsupport::TempDir runtime;
    EXPECT_EQ(WaylandSocketPath({{"XDG_RUNTIME_DIR", "/run/user/7"}}), "/run/user/7/wayland-0");
    EXPECT_EQ(WaylandSocketPath({{"XDG_RUNTIME_DIR", "/r"}, {"WAYLAND_DISPLAY", "w-1"}}), "/r/w-1");
    EXPECT_EQ(WaylandSocketPath({{"WAYLAND_DISPLAY", "/abs/w"}}), "/abs/w");
    EXPECT_EQ(WaylandSocketPath({{"WAYLAND_DISPLAY", "w-1"}}), "");

    // A real listening socket is reachable; a name with nobody behind it is not.
    const Environment here{{"XDG_RUNTIME_DIR", runtime.Path()}, {"WAYLAND_DISPLAY", "w-9"}};
    EXPECT_FALSE(WaylandReachable(here));
    QLocalServer compositor;
    ASSERT_TRUE(compositor.listen(QString::fromStdString(runtime.File("w-9"))));
    EXPECT_TRUE(WaylandReachable(here));
    const DisplayFacts facts = ProbeDisplays(
        {{"XDG_RUNTIME_DIR", runtime.Path()}, {"WAYLAND_DISPLAY", "w-9"}, {"DISPLAY", ":9917"}});
    EXPECT_TRUE(facts.wayland);
    EXPECT_FALSE(facts.x11);
}
