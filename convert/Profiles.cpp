#include "convert/Profiles.h"

#include <array>

#include "common/Text.h"

namespace convert {

namespace {

struct Profile {
    const char* text;
    const char* params;
};

constexpr std::array<Profile, 11> kProfiles = {{
    {"Ipod Video (Apple QuickTime MOV)",
     "-s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 "},
    {"Iphone Video (MPEG-4 MP4)",
     "-vcodec mpeg4 -qscale 15 -s 480x320 -r 29 -b 900kbit/s -ar 44100 -ab 96kbit/s -ac 2 "},
    {"PSP Video (H.264 MP4)",
     "-f psp -s 320x240 -qscale 15 -r 29 -b 768kbit/s -ar 24000 -ab 64kbit/s -ac 1 "},
    {"Cell Phone (H.263 3GP)",
     "-vcodec h263 -qscale 15 -s 176x144 -r 15 -b 30kbit/s -ar 8000 -ab 12.2kbit/s -ac 1 "},
    {"Windows Media Video (WMV)",
     "-s 320x240 -qscale 15 -b 50kbit/s -ar 22050 -ab 64kbit/s -ac 2 -vcodec wmv1 -acodec "
     "adpcm_ima_wav "},
    {"XVid MPEG-4 Codec (AVI)",
     "-vcodec libxvid -qscale 15 -s 320x240 -b 200kbit/s -ar 22050 -ab 64kbit/s -ac 2 -aspect "
     "4:3 "},
    {"Microsoft Mpeg4 AVI (AVI)", "-vcodec mpeg4 -qscale 15 -s 320x240 -ac 2 "},
    {"MPEG Audio Layer 3 (MP3)", "-ar 44100 -ab 128kbit/s -ac 2 "},
    {"Microsoft WAV (WAV)", "-ar 44100 -ab 128kbit/s -ac 2 "},
    {"MPEG1 Movie (MPG)", "-ab 64kbit/s -ar 22050 -b 500kbit/s -s 320x240 -ac 2 "},
    {"Windows Media Audio (WMA)", "-ar 44100 -ab 128kbit/s -ac 2 -vn -acodec wmav2 "},
}};

struct Marker {
    const char* marker;
    const char* ext;
};

// Tested in this order, every one of them; a later match overrides an earlier one.
constexpr std::array<Marker, 9> kMarkers = {{
    {"MOV)", ".mov"},
    {"MP4)", ".mp4"},
    {"3GP)", ".3gp"},
    {"WMV)", ".wmv"},
    {"AVI)", ".avi"},
    {"MP3)", ".mp3"},
    {"WAV)", ".wav"},
    {"MPG)", ".mpg"},
    {"WMA)", ".wma"},
}};

bool InTable(int index) {
    return index >= 0 && index < static_cast<int>(kProfiles.size());
}

}  // namespace

int ProfileCount() {
    return static_cast<int>(kProfiles.size());
}

std::string ProfileText(int index) {
    return InTable(index) ? kProfiles[static_cast<std::size_t>(index)].text : "";
}

std::string OutputExtForText(std::string_view comboText) {
    std::string upper = text::UpperCase(comboText);
    std::string ext;
    for (const Marker& m : kMarkers) {
        if (text::Contains(upper, m.marker)) {
            ext = m.ext;
        }
    }
    return ext;
}

std::string ConvertParamsForIndex(int index) {
    return InTable(index) ? kProfiles[static_cast<std::size_t>(index)].params : "";
}

}  // namespace convert
