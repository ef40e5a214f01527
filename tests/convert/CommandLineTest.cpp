#include <gtest/gtest.h>

#include <algorithm>

#include "convert/CommandLine.h"

using namespace convert;

TEST(CommandLine, ComposedAsShown) {
    EXPECT_EQ(ComposeCommandLine("/v/in.flv", "-ar 44100 -ab 128kbit/s -ac 2 ", "/v/in.mp3", false),
              "ffmpeg -i \"/v/in.flv\" -ar 44100 -ab 128kbit/s -ac 2 \"/v/in.mp3\"");
    EXPECT_EQ(ComposeCommandLine("a b.flv", "-ac 2 ", "a b.mp3", true),
              "ffmpeg -y -i \"a b.flv\" -ac 2 \"a b.mp3\"");
    EXPECT_EQ(ComposeCommandLine("", "", "", false), "ffmpeg -i \"\" \"\"");
}

TEST(CommandLine, ParametersAdaptedForTheConverter) {
    struct Case {
        const char* params;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"-b 500kbit/s -ab 12.2kbit/s ", {"-b", "500k", "-ab", "12.2k"}},
        {"-aspect 4:3 -s 320x240 ", {"-aspect", "4:3", "-s", "320x240"}},
        {"  -ac   2  ", {"-ac", "2"}},
        {"kbit/s x1kbit/s 1kbit/sx .kbit/s", {"kbit/s", "x1kbit/s", "1kbit/sx", ".kbit/s"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AdaptParams(c.params), c.words) << c.params;
    }
}

TEST(CommandLine, ArgumentsKeepEveryFileNameWhole) {
    ArgumentOptions options;
    auto args = BuildArguments("ffmpeg", "-in \"q\".flv", "-ab 64kbit/s -ac 1 ",
                               "/out/say \"hi\" -y.mov", options);
    EXPECT_EQ(args, (std::vector<std::string>{"ffmpeg", "-i", "./-in \"q\".flv", "-ab", "64k",
                                              "-ac", "1", "/out/say \"hi\" -y.mov"}));
    options.overwrite = true;
    args = BuildArguments("ffmpeg", "/a.flv", "", "-out.mov", options);
    EXPECT_EQ(args, (std::vector<std::string>{"ffmpeg", "-y", "-i", "/a.flv", "./-out.mov"}));
}

TEST(CommandLine, ReplacementAudioCodecOnlyWhereNoneIsNamed) {
    ArgumentOptions options;
    options.replacementAudioCodec = true;
    auto args = BuildArguments("ffmpeg", "/a.flv", "-vcodec h263 -ac 1 ", "/a.3gp", options);
    ASSERT_GE(args.size(), 3u);
    EXPECT_EQ(args[args.size() - 3], "-acodec");
    EXPECT_EQ(args[args.size() - 2], "aac");
    EXPECT_EQ(args.back(), "/a.3gp");
    args = BuildArguments("ffmpeg", "/a.flv", "-acodec wmav2 ", "/a.3gp", options);
    EXPECT_EQ(std::count(args.begin(), args.end(), "-acodec"), 1);
}

TEST(CommandLine, ThreeGpAndEncoderList) {
    EXPECT_TRUE(IsThreeGpOutput("/x/clip.3gp"));
    EXPECT_TRUE(IsThreeGpOutput("CLIP.3GP"));
    EXPECT_FALSE(IsThreeGpOutput("clip.3gp.mp4"));
    EXPECT_FALSE(IsThreeGpOutput("3gp"));
    EXPECT_TRUE(EncoderListHasAmrNb(
        " A..... libopencore_amrnb    OpenCORE AMR-NB (Adaptive Multi-Rate Narrow-Band)"));
    EXPECT_FALSE(
        EncoderListHasAmrNb(" A..... aac     AAC (Advanced Audio Coding)\n"
                            " A..... libvo_amrwbenc  Android VisualOn AMR-WB"));
}
