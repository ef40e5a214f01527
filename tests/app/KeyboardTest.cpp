// The windows as a keyboard user and an assistive tool meet them: roles, names, actions, and a
// whole download set up and started from the keyboard alone.

#include <QAccessible>
#include <QApplication>
#include <QMenu>

#include "app/AboutWindow.h"
#include "tests/app/RunFixture.h"
#include "ui/Controls.h"

using namespace runtest;

namespace {

QAccessibleInterface* A(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

// Sends a key to whatever has the keyboard now: an open menu, else the focused widget.
void Key(Qt::Key key) {
    QWidget* target = QApplication::activePopupWidget();
    if (target == nullptr) {
        target = QApplication::focusWidget();
    }
    ASSERT_NE(target, nullptr);
    QTest::keyClick(target, key);
}

// Tabs until the widget has the focus; false when it never comes.
bool TabTo(QWidget* widget) {
    for (int i = 0; i < 40 && QApplication::focusWidget() != widget; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return QApplication::focusWidget() == widget;
}

TEST_F(Run, WindowsAndControlsAreNamedAndAnnounced) {
    EXPECT_EQ(A(form_.get())->role(), QAccessible::Window);
    EXPECT_EQ(A(form_.get())->text(QAccessible::Name), "Tamberlo 1.6");
    TfrmAbout about(form_.get());
    EXPECT_EQ(A(&about)->role(), QAccessible::Dialog);
    // Every control the keyboard reaches has a name; a hint is its description.
    QWidget* w = form_->lvMain;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) != 0 && w->isVisible()) {
            EXPECT_FALSE(A(w)->text(QAccessible::Name).isEmpty()) << w->metaObject()->className();
            EXPECT_EQ(A(w)->text(QAccessible::Description), w->toolTip());
        }
        w = w->nextInFocusChain();
    } while (w != form_->lvMain);
    EXPECT_EQ(A(form_->lvMain)->text(QAccessible::Name), "Enter video URL");
    EXPECT_EQ(A(form_->lUpdate)->role(), QAccessible::Link);
}

TEST_F(Run, AModeChosenThroughTheAccessibleActionRunsItsHandler) {
    auto* toggle = A(form_->rbConvert)->actionInterface();
    ASSERT_NE(toggle, nullptr);
    toggle->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(form_->rbConvert->isChecked());
    EXPECT_TRUE(form_->bSelectFile->isVisible());
    EXPECT_FALSE(form_->cbAutoCopy->isEnabled());
    EXPECT_TRUE(form_->cbFormat->isEnabled());
    A(form_->rbDownload)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_FALSE(form_->cbFormat->isEnabled());
    EXPECT_FALSE(form_->bSelectFile->isVisible());
}

TEST_F(Run, AWholeDownloadSetUpAndStartedFromTheKeyboard) {
    AddJobs({kMetacafe});
    form_->activateWindow();
    QApplication::setActiveWindow(form_.get());
    form_->lvMain->setFocus();
    // The Advanced link opens the menu; its quality submenu takes HQ.
    ASSERT_TRUE(TabTo(form_->lbEAddress));
    Key(Qt::Key_Space);
    ASSERT_EQ(QApplication::activePopupWidget(), form_->suiPopupMenu1);
    Key(Qt::Key_Down);  // Home Page
    Key(Qt::Key_Down);  // the quality submenu
    Key(Qt::Key_Right);
    ASSERT_EQ(QApplication::activePopupWidget(), form_->miYoutubeDownloadQuality);
    if (form_->miYoutubeDownloadQuality->activeAction() == nullptr) {
        Key(Qt::Key_Down);
    }
    Key(Qt::Key_Down);  // from Normal to HQ
    Key(Qt::Key_Return);
    EXPECT_EQ(form_->Quality, 1);
    EXPECT_TRUE(form_->HQ1->isChecked());
    // Start runs the whole download; Stop would be the focused button of its window.
    When(
        [](TfrmDownload& w) {
            return QApplication::focusWidget() == w.bStop ||
                   QApplication::focusWidget() == w.suiButton1;
        },
        [](TfrmDownload&) {});
    ASSERT_TRUE(TabTo(form_->bStart));
    Key(Qt::Key_Space);
    EXPECT_TRUE(ReadFile(Out("Funny Cats Compilation.mp4")) == *content_.mp4);
    EXPECT_TRUE(Requested(kMetacafeFile + "&fmt=18"));
}

}  // namespace
