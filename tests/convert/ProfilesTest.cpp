#include <gtest/gtest.h>

#include "convert/Profiles.h"

using namespace convert;

TEST(Profiles, TableInBoxOrderWithTheParameterStringsAsStored) {
    struct Row {
        const char* text;
        const char* ext;
        const char* params;
    };
    const Row rows[] = {
        {"Ipod Video (Apple QuickTime MOV)", ".mov",
         "-s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 "},
        {"Iphone Video (MPEG-4 MP4)", ".mp4",
         "-vcodec mpeg4 -qscale 15 -s 480x320 -r 29 -b 900kbit/s -ar 44100 -ab 96kbit/s -ac 2 "},
        {"PSP Video (H.264 MP4)", ".mp4",
         "-f psp -s 320x240 -qscale 15 -r 29 -b 768kbit/s -ar 24000 -ab 64kbit/s -ac 1 "},
        {"Cell Phone (H.263 3GP)", ".3gp",
         "-vcodec h263 -qscale 15 -s 176x144 -r 15 -b 30kbit/s -ar 8000 -ab 12.2kbit/s -ac 1 "},
        {"Windows Media Video (WMV)", ".wmv",
         "-s 320x240 -qscale 15 -b 50kbit/s -ar 22050 -ab 64kbit/s -ac 2 -vcodec wmv1 -acodec "
         "adpcm_ima_wav "},
        {"XVid MPEG-4 Codec (AVI)", ".avi",
         "-vcodec libxvid -qscale 15 -s 320x240 -b 200kbit/s -ar 22050 -ab 64kbit/s -ac 2 "
         "-aspect 4:3 "},
        {"Microsoft Mpeg4 AVI (AVI)", ".avi", "-vcodec mpeg4 -qscale 15 -s 320x240 -ac 2 "},
        {"MPEG Audio Layer 3 (MP3)", ".mp3", "-ar 44100 -ab 128kbit/s -ac 2 "},
        {"Microsoft WAV (WAV)", ".wav", "-ar 44100 -ab 128kbit/s -ac 2 "},
        {"MPEG1 Movie (MPG)", ".mpg", "-ab 64kbit/s -ar 22050 -b 500kbit/s -s 320x240 -ac 2 "},
        {"Windows Media Audio (WMA)", ".wma", "-ar 44100 -ab 128kbit/s -ac 2 -vn -acodec wmav2 "},
    };
    ASSERT_EQ(ProfileCount(), 11);
    for (int i = 0; i < ProfileCount(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ProfileText(i), rows[i].text);
        EXPECT_EQ(OutputExtForText(ProfileText(i)), rows[i].ext);
        EXPECT_EQ(ConvertParamsForIndex(i), rows[i].params);
    }
}

TEST(Profiles, OutsideTheTableIsEmpty) {
    for (int index : {-1, 11, 1000}) {
        EXPECT_EQ(ConvertParamsForIndex(index), "");
        EXPECT_EQ(ProfileText(index), "");
    }
}

TEST(Profiles, ExtensionByMarker) {
    struct Case {
        const char* text;
        const char* ext;
    };
    const Case cases[] = {
        {"ipod video (apple quicktime mov)", ".mov"},  // case does not matter
        {"Anything (Mp4)", ".mp4"},
        {"(MP4) then (MOV)", ".mp4"},  // the later rule wins, not the later position
        {"(WMA) and (AVI)", ".wma"},
        {"MOV without a bracket", ""},
        {"(MOV", ""},
        {"", ""},
        {"Tamberlo (MKV)", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OutputExtForText(c.text), c.ext) << c.text;
    }
}
