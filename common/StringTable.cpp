#include "common/StringTable.h"

#include <unordered_map>

namespace {

const std::unordered_map<int, std::string>& Table() {
    static const std::unordered_map<int, std::string> table = {
        {1, "Tamberlo"},
        {2, "1.6"},
        {3, "Paste video URL (Example: "},
        {4, "Enter video URL (Example: "},
        {5, "Select video file:"},
        {6, "Please enter video URL!"},
        {7, "Please select a local video file!"},
        {8, " the output directory does not exist."},
        {9, "creates a new directory?"},
        {10, "Please select the directory to add"},
        {11, "http://www.corvane.example/tamberlo/"},
        {12, "http://www.corvane.example/"},
        {13, "http://www.corvane.example/tamberlo/update.html"},
        {14, "received"},
        {15, "Video file will be created may be used, convert process failed!"},
        {16, " has existed,overite it?"},
        {17, "Unable get html from "},
        {18, "Get html from the URL, please wait..."},
        {19, "Unable get html from the url. Please try again later!"},
        {20,
         "This video may contain content that is inappropriate for some users, as flagged "
         "by YouTube\"s user commnunity. "},
        {21, "To view this video, please verify you are 18 or older by logging in or signing up."},
        {22, "\r\n\r\n"},
        {23,
         "Please log in your account on Internet Explorer firstly. You need to check the "
         "option \"Stay signed in\". "},
        {24,
         "It\"s better to change the YouTube show languages to English. Then download the "
         "video again."},
        {25, "Cannot create "},

        {500, "no answer within 30 s"},
        {501, "the page did not finish within 30 s"},
        {502, "the body could not be decoded"},
        {503, "the body is not valid %1 data"},

        {510, "Tamberlo: %1 is read-only; the settings are not saved."},
        {511, "Tamberlo: %1 is a link; the settings are not saved."},
        {512, "Tamberlo: %1 is not a regular file; the settings are not saved."},

        {520, "\xE2\x80\xA6 and %1 more: see the details."},
        {521, "Information"},
        {522, "Error"},

        {530, "Browse for video files"},
        {531, "Browse for the output folder"},
        {532, "Tamberlo banner"},
        {533, "Update"},
        {534, "Tamberlo picture"},

        {100, "www.corvane.example"},
        {101, "Download and convert videos from YouTube"},
        {102, "Check for updates..."},
        {103, "http://www.youtube.com/watch?v=wf6529R24fo"},
        {104, ")"},
        {105, "Show popup menu on right click"},
        {106, "Paste"},
        {107,
         "The address must contain http://www.youtube.com/watch?v=, otherwise it is taken "
         "as a wrong address and not pasted"},
        {108, "Browser..."},
        {109, "Select local video file"},
        {110, "Remove"},
        {111, "Remove the selected item"},
        {112, "Enable auto copy from clipboard"},
        {113, "Output Folder:"},
        {114, "Browser..."},
        {115, "Set your default output folder"},
        {116, "Convert to:"},
        {117, "Download video from YouTube"},
        {118, "Download and convert video from YouTube"},
        {119, "Convert video from local FLV file"},
        {120, "Click to popup the menu"},
        {121, "Advanced"},
        {122, "Start..."},
        {123, "Show Files..."},
        {124, "Exit"},
        {125, "&Home Page"},
        {126, "Youtube Download Quality"},
        {127, "Normal"},
        {128, "HQ"},
        {129, "HD"},
        {130, "Best Available"},
        {131, "&About..."},
        {132, "&Paste from Clipboard"},
        {133, "&Browser"},
        {134, "&Remove Item"},
        {135, "Remove &All"},
        {136, "Flv files(*.flv)|*.flv| Any file(*.*)|*.*"},
        {137, "Connections"},

        {200, "About Tamberlo"},
        {201, "Version: 1.6   Build 20100409"},
        {202, "Copyright (C) 2010 Corvane Software. All rights reserved."},
        {203, "Support: support@corvane.example"},
        {204, "www.corvane.example"},
        {205, "&OK"},

        {300, "Details"},
        {301, "Download Size: "},
        {302, "Estimating time remaining: "},
        {303, "Download Speed\xEF\xBC\x9A"},  // full-width colon, as the window has always shown
        {304, "Converting"},
        {305, "Time elapsed: "},
        {306, "Time estimated: "},
        {307, "00:00"},
        {308, "Stop"},
        {309, "Downloading: "},
        {310, " KB"},
        {311, " KB/S"},
        {312, "Reconnecting, attempt %1 of %2 ..."},
        {313, "the file keeps changing on the server"},
        {314, "the server sent other bytes than were asked for"},
        {315, "no data for 20 seconds"},

        {400, "Run finished"},
        {401, "Jobs done: %1 of %2\nWith an error: %3"},
        {402, "Tamberlo cannot start"},
        {403,
         "No display can be reached. Tamberlo needs an X11 display (XWayland on a Wayland "
         "session), or a Wayland display with Qt's Wayland support (qt6-wayland) installed."},
        {540, "the address holds control characters or blanks"},
        {541, "too many relocations"},
        {550, "the certificate of %1 is not trusted"},
        {551, "the certificate of %1 has expired"},
        {552, "the certificate of %1 is for another name"},
        {553, "%1 closed the connection before it was secured"},
        {554, "the secure connection to %1 failed"},
        {555, "the proxy refused the tunnel to %1"},
        {560, "the file was removed while it was written"},
        {561, "ffmpeg is not installed; install the ffmpeg package"},
        {600, "No video found on "},
        {601, "Not downloaded, only a streaming playlist (HLS or DASH) found on "},
        {602,
         "Video files (*.flv *.mp4 *.webm *.mkv *.mov *.avi *.ogv *.m4v)|*.flv *.mp4 *.webm *.mkv "
         "*.mov *.avi *.ogv *.m4v| Any file(*.*)|*.*"},
    };
    return table;
}

}  // namespace

const std::string& LoadStr(StrId id) {
    static const std::string empty;
    const auto& table = Table();
    auto it = table.find(static_cast<int>(id));
    return it == table.end() ? empty : it->second;
}

std::string AgeMessage() {
    return LoadStr(StrId::AgeMessage1) + LoadStr(StrId::AgeMessage2) + LoadStr(StrId::AgeMessage3) +
           LoadStr(StrId::AgeMessage4) + LoadStr(StrId::AgeMessage5);
}
