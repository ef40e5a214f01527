// Every profile through the runner with the real converter, on a clip made for the test.

#include <gtest/gtest.h>

#include <algorithm>

#include "convert/CommandLine.h"
#include "convert/ConvertThread.h"
#include "convert/Profiles.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/convert/StatusSink.h"
#include "tests/support/TempDir.h"

using testsupport::OpenFdCount;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class FfmpegConvertTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        clip_ = dir_->File("clip.flv");
        std::string output;
        bool ran = platform::RunAndCapture(
            platform::FindProgram("ffmpeg", ""),
            {"ffmpeg", "-hide_banner", "-nostdin", "-y", "-f", "lavfi", "-i",
             "testsrc=size=160x120:rate=25:duration=20", "-f", "lavfi", "-i",
             "sine=frequency=440:sample_rate=22050:duration=20", "-c:v", "flv", "-c:a",
             "libmp3lame", "-ar", "22050", clip_},
            60000, output);
        made_ = ran && ReadFile(clip_).size() > 1000;
        if (!made_) {
            std::fprintf(stderr, "cannot make the test clip: %s\n", output.c_str());
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static TempDir* dir_;
    static std::string clip_;
    static bool made_;
};

TempDir* FfmpegConvertTest::dir_ = nullptr;
std::string FfmpegConvertTest::clip_;
bool FfmpegConvertTest::made_ = false;

// True when the file starts as a file of its extension's kind does.
bool LooksLike(const std::string& ext, const std::string& bytes) {
    auto at = [&](std::size_t pos, std::string_view what) {
        return bytes.size() >= pos + what.size() && bytes.compare(pos, what.size(), what) == 0;
    };
    if (ext == ".mov" || ext == ".mp4" || ext == ".3gp") {
        return at(4, "ftyp");
    }
    if (ext == ".wmv" || ext == ".wma") {
        return at(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11");
    }
    if (ext == ".avi") {
        return at(0, "RIFF") && at(8, "AVI ");
    }
    if (ext == ".wav") {
        return at(0, "RIFF") && at(8, "WAVE");
    }
    if (ext == ".mp3") {
        return at(0, "ID3") || (bytes.size() > 1 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                (static_cast<unsigned char>(bytes[1]) & 0xE0) == 0xE0);
    }
    if (ext == ".mpg") {
        return at(0, std::string_view("\x00\x00\x01\xBA", 4));
    }
    return false;
}

}  // namespace

TEST_F(FfmpegConvertTest, EveryProfileConverts) {
    ASSERT_TRUE(made_);
    int fdsBefore = OpenFdCount();
    StatusSink sink;
    TConvertProcess runner;
    runner.NotifyWindow = &sink;
    for (int i = 0; i < convert::ProfileCount(); ++i) {
        std::string ext = convert::OutputExtForText(convert::ProfileText(i));
        SCOPED_TRACE(convert::ProfileText(i));
        sink.records.clear();
        runner.Running = true;
        runner.InputFile = clip_;
        runner.OutputFile = dir_->File("profile" + std::to_string(i) + ext);
        runner.Params = convert::ConvertParamsForIndex(i);
        runner.Start();
        ASSERT_TRUE(sink.WaitForEnd(120000));
        PumpFor(20);
        EXPECT_EQ(runner.Duration, 20);
        std::vector<int> percents = sink.Percents();
        ASSERT_GE(percents.size(), 2u);
        EXPECT_EQ(sink.Ends(), 1);
        EXPECT_EQ(percents.back(), kPercentFinished);
        percents.pop_back();
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        EXPECT_GE(percents.back(), 90);
        EXPECT_LE(percents.back(), 100);
        std::string bytes = ReadFile(runner.OutputFile);
        EXPECT_GT(bytes.size(), 1000u);
        EXPECT_TRUE(LooksLike(ext, bytes)) << runner.OutputFile;
        bool replaced = std::find(runner.Arguments().begin(), runner.Arguments().end(), "aac") !=
                        runner.Arguments().end();
        bool amr = convert::ConverterHasAmrNb(platform::FindProgram("ffmpeg", ""),
                                              std::chrono::seconds(10));
        EXPECT_EQ(replaced, ext == ".3gp" && !amr);
        runner.Stop(0);
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST_F(FfmpegConvertTest, InputThatIsNotMedia) {
    TempDir dir;
    StatusSink sink;
    TConvertProcess runner;
    runner.NotifyWindow = &sink;
    runner.Running = true;
    runner.InputFile = dir.File("not media.flv");
    WriteFile(runner.InputFile, std::string(5000, 'z'));
    runner.OutputFile = dir.File("not media.mp3");
    runner.Params = convert::ConvertParamsForIndex(7);
    runner.Start();
    ASSERT_TRUE(sink.WaitForEnd(30000));
    EXPECT_EQ(sink.Percents(), std::vector<int>{kPercentFinished});
    EXPECT_EQ(sink.records[0].Status, 0);
    EXPECT_EQ(runner.Duration, 0);
}
