#include "app/Places.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cstdlib>

#include "common/Environment.h"

namespace {

std::string Slashed(std::string folder) {
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string HomeFolder() {
    std::string home = env::Value("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
            home = pw->pw_dir;
        }
    }
    return home;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p, each new folder for the user alone, as the base directory rules ask.
void MakeFolders(const std::string& folder) {
    for (std::size_t at = folder.find('/', 1); at != std::string::npos;
         at = folder.find('/', at + 1)) {
        mkdir(folder.substr(0, at).c_str(), 0700);
    }
    mkdir(folder.c_str(), 0700);
}

}  // namespace

ProgramPlaces PlacesFor(const std::string& executableFolder, bool installed, bool writable,
                        const std::string& configHome, const std::string& userFolder) {
    if ((!installed && writable) || configHome.empty()) {
        return {executableFolder, executableFolder};
    }
    return {Slashed(configHome) + "tamberlo/",
            userFolder.empty() ? executableFolder : Slashed(userFolder)};
}

ProgramPlaces PlacesOf(const std::string& executableFolder) {
    const bool installed =
        access((executableFolder + TAMBERLO_INSTALLED_DESKTOP_ENTRY).c_str(), F_OK) == 0;
    const bool writable = access(executableFolder.c_str(), W_OK) == 0;
    const std::string home = HomeFolder();
    std::string configHome = env::Value("XDG_CONFIG_HOME");
    // The base directory rules ignore a relative path.
    if (configHome.empty() || configHome.front() != '/') {
        configHome = home.empty() ? "" : home + "/.config";
    }
    std::string userFolder = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation)
                                 .toLocal8Bit()
                                 .toStdString();
    if (!IsFolder(userFolder)) {
        userFolder = home;
    }
    ProgramPlaces places = PlacesFor(executableFolder, installed, writable, configHome, userFolder);
    if (places.settingsFolder != executableFolder) {
        MakeFolders(places.settingsFolder);
    }
    return places;
}
