#pragma once

// Where the program keeps settings.ini, and the output folder it offers before one is chosen.

#include <string>

struct ProgramPlaces {
    // Both end in "/".
    std::string settingsFolder;
    std::string outputFolder;
};

// A copy run from a folder it may write (a build, a copy unpacked anywhere) keeps both in the
// executable's folder. An installed copy, or one in a folder it may not write, keeps its
// settings in configHome/tamberlo/ and offers userFolder for output: /usr/bin is nobody's to
// fill, not even the superuser's. Without a configHome everything stays beside the executable.
ProgramPlaces PlacesFor(const std::string& executableFolder, bool installed, bool writable,
                        const std::string& configHome, const std::string& userFolder);

// The places of a program whose executable is in executableFolder, from what is on disk and in
// the environment ($XDG_CONFIG_HOME, else ~/.config; the user's Videos folder, else home).
// Installed means the desktop entry was installed beside it, in the layout the install rules
// give. Makes the settings folder when it is not the executable's.
ProgramPlaces PlacesOf(const std::string& executableFolder);
