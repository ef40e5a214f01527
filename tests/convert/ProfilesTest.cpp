#include <gtest/gtest.h>

#include "convert/Profiles.h"

using namespace convert;

TEST(Profiles, TableInBoxOrder) {
    struct Row {
        const char* text;
        const char* ext;
    };
    const Row rows[] = {
        {"Ipod Video (Apple QuickTime MOV)", ".mov"},
        {"Iphone Video (MPEG-4 MP4)", ".mp4"},
        {"PSP Video (H.264 MP4)", ".mp4"},
        {"Cell Phone (H.263 3GP)", ".3gp"},
        {"Windows Media Video (WMV)", ".wmv"},
        {"XVid MPEG-4 Codec (AVI)", ".avi"},
        {"Microsoft Mpeg4 AVI (AVI)", ".avi"},
        {"MPEG Audio Layer 3 (MP3)", ".mp3"},
        {"Microsoft WAV (WAV)", ".wav"},
        {"MPEG1 Movie (MPG)", ".mpg"},
        {"Windows Media Audio (WMA)", ".wma"},
    };
    ASSERT_EQ(ProfileCount(), 11);
    for (int i = 0; i < ProfileCount(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ProfileText(i), rows[i].text);
        EXPECT_EQ(OutputExtForText(ProfileText(i)), rows[i].ext);
        std::string params = ConvertParamsForIndex(i);
        ASSERT_FALSE(params.empty());
        EXPECT_EQ(params.back(), ' ');
        EXPECT_NE(params.find("-ac "), std::string::npos);
    }
}

TEST(Profiles, ParameterStringsAsStored) {
    EXPECT_EQ(ConvertParamsForIndex(0),
              "-s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 ");
    EXPECT_EQ(ConvertParamsForIndex(3),
              "-vcodec h263 -qscale 15 -s 176x144 -r 15 -b 30kbit/s -ar 8000 -ab 12.2kbit/s -ac "
              "1 ");
    EXPECT_EQ(ConvertParamsForIndex(4),
              "-s 320x240 -qscale 15 -b 50kbit/s -ar 22050 -ab 64kbit/s -ac 2 -vcodec wmv1 "
              "-acodec adpcm_ima_wav ");
    EXPECT_EQ(ConvertParamsForIndex(6), "-vcodec mpeg4 -qscale 15 -s 320x240 -ac 2 ");
    EXPECT_EQ(ConvertParamsForIndex(10), "-ar 44100 -ab 128kbit/s -ac 2 -vn -acodec wmav2 ");
    // MP3 and WAV share one string and differ only in the extension.
    EXPECT_EQ(ConvertParamsForIndex(7), ConvertParamsForIndex(8));
    EXPECT_NE(OutputExtForText(ProfileText(7)), OutputExtForText(ProfileText(8)));
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
