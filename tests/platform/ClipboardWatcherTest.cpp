#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <functional>

#include "platform/ClipboardWatcher.h"
#include "platform/Messages.h"
#include "tests/support/TempDir.h"

using namespace platform;

namespace {

std::vector<std::string> FeedAll(const std::vector<std::string>& pieces) {
    ClipboardFrames frames;
    std::vector<std::string> texts;
    for (const std::string& piece : pieces) {
        for (std::string& text : frames.Feed(piece)) {
            texts.push_back(std::move(text));
        }
    }
    return texts;
}

void PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000) {
        WaitForMessages(10);
    }
}

// A helper that does what the real one does. Asked once, it prints what the clipboard holds
// (failing when it holds nothing). Watching, it runs the command after "--watch" with the text on
// its input, at once for what the clipboard holds when it starts, if anything, then for each
// change; then it stays, as the real one does, or ends.
std::string FakeHelper(const testsupport::TempDir& dir, const std::string& initial,
                       const std::string& afterwards) {
    const std::string path = dir.File("fake-helper");
    const std::string report = "printf '" + initial + "' | \"$@\"\n";
    testsupport::WriteFile(path,
                           "#!/bin/sh\n"
                           "[ \"$1 $2\" = '--type text' ] || exit 2\n"
                           "case \" $* \" in *' --watch '*) ;; *) printf '" +
                               initial + "'; [ -n '" + initial +
                               "' ]; exit $?;; esac\n"
                               "echo $$ > \"$(dirname \"$0\")/pid\"\n"
                               "while [ \"$1\" != --watch ]; do shift; done; shift\n" +
                               (initial.empty() ? std::string() : report) +
                               "printf 'https://www.youtube.com/watch?v=aaaaaaaaaaa' | \"$@\"\n"
                               "printf 'first line\\r\\nsecond\\n' | \"$@\"\n"
                               "printf '' | \"$@\"\n"
                               "printf 'http://www.metacafe.com/watch/1/x/' | \"$@\"\n" +
                               afterwards + "\n");
    chmod(path.c_str(), 0700);
    return path;
}

}  // namespace

TEST(ClipboardFrames, EachBase64LineIsOneTextHoweverTheBytesArrive) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> expected;
    };
    const std::string huge(ClipboardFrames::kMaxLine + 1, 'A');
    const Case cases[] = {
        {"one line", {"aGk=\n"}, {"hi"}},
        {"several in one read", {"YQ==\nYg==\nYw==\n"}, {"a", "b", "c"}},
        {"cut anywhere", {"aH", "R0cDov", "L3guY29t\nYg", "==", "\n"}, {"http://x.com", "b"}},
        {"an empty copy", {"\n"}, {""}},
        {"line breaks and zero bytes inside", {"YQpiAGM=\n"}, {std::string("a\nb\0c", 5)}},
        {"not base64: not ours", {"a*b\nYQ==\n"}, {"a"}},
        {"an unfinished line is no text yet", {"YQ==\nYg=="}, {"a"}},
        {"a line too long is skipped whole",
         {huge.substr(0, 100), huge.substr(100), "\nYQ==\n"},
         {"a"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FeedAll(c.pieces), c.expected) << c.name;
    }
}

// True while the process runs (a zombie has ended).
bool Runs(const std::string& pid) {
    const std::string stat = testsupport::ReadFile("/proc/" + pid + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

TEST(ClipboardWatcher, EveryChangeArrivesInOrderButNotWhatWasThereBefore) {
    // The first copy is taken however soon it comes, also when the clipboard was empty at the
    // start and so nothing was reported for it.
    for (const std::string initial : {"https://www.youtube.com/watch?v=before00000", ""}) {
        testsupport::TempDir dir;
        std::vector<std::string> texts;
        auto watcher = std::make_unique<ClipboardWatcher>(
            [&](const std::string& text) { texts.push_back(text); });
        ASSERT_TRUE(watcher->Start(FakeHelper(dir, initial, "exec sleep 60")));
        PumpUntil([&] { return texts.size() >= 4; });
        EXPECT_EQ(texts, (std::vector<std::string>{"https://www.youtube.com/watch?v=aaaaaaaaaaa",
                                                   "first line\r\nsecond\n", "",
                                                   "http://www.metacafe.com/watch/1/x/"}))
            << "clipboard at the start: '" << initial << "'";
        EXPECT_TRUE(watcher->Active()) << "the helper still watches";
        std::string helper = testsupport::ReadFile(dir.File("pid"));
        helper = helper.substr(0, helper.find('\n'));
        ASSERT_TRUE(Runs(helper));
        watcher.reset();
        PumpUntil([&] { return !Runs(helper); });
        EXPECT_FALSE(Runs(helper)) << "the helper outlived the watcher";
    }
}

TEST(ClipboardWatcher, AHelperThatEndsLeavesTheWatcherInactive) {
    // As the real helper does on a compositor without the data-control protocol.
    testsupport::TempDir dir;
    const int fdsBefore = testsupport::OpenFdCount();
    std::vector<std::string> texts;
    {
        ClipboardWatcher watcher([&](const std::string& text) { texts.push_back(text); });
        ASSERT_TRUE(watcher.Start(FakeHelper(dir, "before", "exit 1")));
        PumpUntil([&] { return !watcher.Active(); });
        EXPECT_FALSE(watcher.Active());
        EXPECT_FALSE(watcher.Start(dir.File("not-there")));
    }
    WaitForMessages(10);
    EXPECT_EQ(texts.size(), 4u) << "what came before the end is kept";
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}
