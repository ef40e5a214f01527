// Shared test entry: a QApplication exists for every suite, so widgets, timers and posted events
// work as they do in the program. The platform plugin comes from QT_QPA_PLATFORM.
#include <gtest/gtest.h>

#include <QApplication>

#include "platform/Form.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) {
        // Listing needs no display: test discovery may run where there is none.
        return RUN_ALL_TESTS();
    }
    QApplication app(argc, argv);
    // As the program does: no window's controls act behind a modal window.
    platform::InstallModalGuard(app);
    return RUN_ALL_TESTS();
}
