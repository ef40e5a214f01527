// On a real X display, text that another program puts on the clipboard becomes jobs.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <memory>

#include "app/MainWindow.h"
#include "platform/Messages.h"
#include "tests/support/TempDir.h"

namespace {

void CopyWithXclip(const std::string& text) {
    QProcess xclip;
    xclip.start("xclip", {"-selection", "clipboard", "-i"});
    ASSERT_TRUE(xclip.waitForStarted()) << "xclip is needed for this test";
    xclip.write(text.data(), static_cast<qint64>(text.size()));
    xclip.closeWriteChannel();
    // xclip forks to serve the selection and its first process ends.
    ASSERT_TRUE(xclip.waitForFinished(5000));
}

}  // namespace

TEST(ClipboardFromOtherPrograms, AutoCopyTakesTheAddressesAnotherProgramCopies) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.File("settings.ini"), "[Copy]\nEnable=1\n");
    auto form = std::make_unique<TfrmMain>(dir.Path() + "/");
    form->show();
    platform::ProcessMessages();

    CopyWithXclip(
        "some words\nhttp://www.youtube.com/watch?v=xclip1\r\n"
        "http://www.example.org/watch?v=no\nhttp://www.youtube.com/watch?v=xclip2\n");
    QElapsedTimer timer;
    timer.start();
    while (form->JobCount() < 2 && timer.elapsed() < 10000) {
        platform::WaitForMessages(20);
    }
    EXPECT_EQ(form->Jobs(), (std::vector<std::string>{"http://www.youtube.com/watch?v=xclip1",
                                                      "http://www.youtube.com/watch?v=xclip2"}));
    EXPECT_EQ(form->SelectedJob(), 1);
}
