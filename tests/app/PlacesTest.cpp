// Where settings.ini lives: beside a copy run from where it may write, in the user's
// configuration folder for an installed copy.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "app/MainWindow.h"
#include "app/Places.h"
#include "tests/support/TempDir.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TEST(Places, BesideTheProgramUnlessInstalledOrReadOnly) {
    struct Case {
        const char* name;
        bool installed;
        bool writable;
        std::string configHome;
        std::string settings;
        std::string output;
    };
    const Case cases[] = {
        {"a build", false, true, "/h/.config", "/p/", "/p/"},
        {"installed", true, true, "/h/.config", "/h/.config/tamberlo/", "/h/Videos/"},
        {"read-only folder", false, false, "/h/.config/", "/h/.config/tamberlo/", "/h/Videos/"},
        {"no configuration folder", true, false, "", "/p/", "/p/"},
    };
    for (const Case& c : cases) {
        const ProgramPlaces places =
            PlacesFor("/p/", c.installed, c.writable, c.configHome, "/h/Videos");
        EXPECT_EQ(places.settingsFolder, c.settings) << c.name;
        EXPECT_EQ(places.outputFolder, c.output) << c.name;
    }
}

// A prefix laid out as the install rules lay it out, with its own home folder.
class InstalledCopy : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(prefix_.File("bin"));
        std::filesystem::create_directories(home_.File("Videos"));
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
            if (const char* value = std::getenv(name)) {
                saved_.emplace_back(name, value);
            }
        }
        setenv("HOME", home_.Path().c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        unsetenv("HOME");
        unsetenv("XDG_CONFIG_HOME");
        for (const auto& [name, value] : saved_) {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    void Install() {
        std::filesystem::create_directories(prefix_.File("share/applications"));
        WriteFile(prefix_.File("share/applications/tamberlo.desktop"), "");
    }
    std::string Bin() const { return prefix_.File("bin/"); }
    TempDir prefix_;
    TempDir home_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(InstalledCopy, KeepsItsSettingsInTheConfigurationFolder) {
    Install();
    const ProgramPlaces places = PlacesOf(Bin());
    EXPECT_EQ(places.settingsFolder, home_.File(".config/tamberlo/"));
    EXPECT_EQ(places.outputFolder, home_.File("Videos/"));
    struct stat st {};
    ASSERT_EQ(stat(places.settingsFolder.c_str(), &st), 0) << "the folder is made";
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The main window reads and writes there and nowhere else.
    {
        TfrmMain form(places);
        form.LoadSaveSettings(true);
        EXPECT_EQ(form.OutputDirectory, home_.File("Videos/"));
        form.LoadSaveSettings(false);
    }
    EXPECT_NE(ReadFile(places.settingsFolder + "settings.ini").find("OutputDirectory="),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Bin() + "settings.ini"));
}

TEST_F(InstalledCopy, FollowsXdgConfigHomeWhenItIsAbsolute) {
    Install();
    setenv("XDG_CONFIG_HOME", home_.File("conf").c_str(), 1);
    EXPECT_EQ(PlacesOf(Bin()).settingsFolder, home_.File("conf/tamberlo/"));
    setenv("XDG_CONFIG_HOME", "relative/conf", 1);
    EXPECT_EQ(PlacesOf(Bin()).settingsFolder, home_.File(".config/tamberlo/"));
}

TEST_F(InstalledCopy, ACopyThatIsNotInstalledStaysBesideItself) {
    const ProgramPlaces places = PlacesOf(Bin());
    EXPECT_EQ(places.settingsFolder, Bin());
    EXPECT_EQ(places.outputFolder, Bin());
    EXPECT_FALSE(std::filesystem::exists(home_.File(".config")));
}

}  // namespace
