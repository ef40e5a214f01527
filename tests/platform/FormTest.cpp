#include <gtest/gtest.h>

#include <QTimer>

#include "platform/Form.h"
#include "platform/Messages.h"

using namespace platform;

namespace {

class CountingForm : public TForm {
public:
    int shows = 0;
    int closes = 0;
    std::vector<std::string> log;

protected:
    void FormShow() override { ++shows; }
    void FormClose() override {
        ++closes;
        log.push_back("close");
    }
};

}  // namespace

TEST(TForm, ShowModalReturnsTheResultSetByAHandlerAndClosesOnce) {
    CountingForm form;
    QTimer::singleShot(10, &form, [&form] { form.ModalResult = mrOk; });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.shows, 1);
    EXPECT_EQ(form.closes, 1);
}

TEST(TForm, TitleBarCloseAsksForCancelAndLetsTheRunningHandlerFinish) {
    CountingForm form;
    QTimer::singleShot(10, &form, [&form] {
        form.close();  // as the title-bar close box does
        form.log.push_back(form.ModalResult == mrCancel && form.isVisible() ? "cancel asked"
                                                                            : "closed early");
        // A nested message loop inside the handler does not end the modal loop.
        ProcessMessages();
        form.log.push_back(form.isVisible() ? "still open" : "closed early");
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(form.log, (std::vector<std::string>{"cancel asked", "still open", "close"}));
}

TEST(TForm, AbortSetInsideNestedProcessingEndsTheLoopAfterTheHandlerReturns) {
    CountingForm form;
    bool handlerFinished = false;
    QTimer::singleShot(10, &form, [&] {
        QTimer::singleShot(0, &form, [&form] { form.ModalResult = mrAbort; });
        for (int i = 0; i < 5; ++i) {
            WaitForMessages(5);
        }
        handlerFinished = true;
        EXPECT_TRUE(form.isVisible());
    });
    EXPECT_EQ(form.ShowModal(), mrAbort);
    EXPECT_TRUE(handlerFinished);
}

TEST(Messages, PostedMessagesArriveInOrderWithTheirParameters) {
    struct Receiver : QObject {
        std::vector<std::tuple<int, std::intptr_t, std::intptr_t>> got;
        bool event(QEvent* e) override {
            if (auto* m = dynamic_cast<MessageEvent*>(e)) {
                got.emplace_back(m->Message(), m->WParam(), m->LParam());
                return true;
            }
            return QObject::event(e);
        }
    } receiver;
    PostMessage(&receiver, WM_RESOLVE_PAGE);
    PostMessage(&receiver, WM_DOWNLOAD_FILE, 1, 2);
    PostMessage(&receiver, WM_RESOLVE_PAGE, 3);
    PostMessage(nullptr, WM_RESOLVE_PAGE);  // dropped, not a crash
    ProcessMessages();
    using T = std::tuple<int, std::intptr_t, std::intptr_t>;
    EXPECT_EQ(receiver.got, (std::vector<T>{T{0x1605, 0, 0}, T{0x1601, 1, 2}, T{0x1605, 3, 0}}));
}
