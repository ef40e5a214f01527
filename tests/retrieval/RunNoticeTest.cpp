// What the end of a run tells the desktop.

#include <gtest/gtest.h>

#include "retrieval/RunNotice.h"

namespace {

TEST(RunNotice, CountsTheJobsWorkedThroughAndTheErrorLines) {
    struct Case {
        const char* name;
        std::int32_t jobIndex;
        std::size_t jobs;
        std::size_t errors;
        std::string body;
    };
    const Case cases[] = {
        {"all done", 3, 3, 0, "Jobs done: 3 of 3\nWith an error: 0"},
        {"all done, two failed", 3, 3, 2, "Jobs done: 3 of 3\nWith an error: 2"},
        {"stopped in the second job", 1, 4, 1, "Jobs done: 1 of 4\nWith an error: 1"},
        {"stopped in the first job", 0, 2, 0, "Jobs done: 0 of 2\nWith an error: 0"},
        {"index past the end", 7, 5, 0, "Jobs done: 5 of 5\nWith an error: 0"},
        {"negative index", -1, 2, 0, "Jobs done: 0 of 2\nWith an error: 0"},
    };
    for (const Case& c : cases) {
        const platform::Notification n = RunEndNotification(TallyRun(c.jobIndex, c.jobs, c.errors));
        EXPECT_EQ(n.body, c.body) << c.name;
        EXPECT_EQ(n.appName, "Tamberlo");
        EXPECT_EQ(n.desktopEntry, "tamberlo");
        EXPECT_EQ(n.summary, "Run finished");
    }
}

}  // namespace
