// The windows as a keyboard user and an assistive tool meet them: roles, names, actions, and a
// whole download set up and started from the keyboard alone.

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QTreeWidget>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/AboutWindow.h"
#include "tests/app/RunFixture.h"
#include "ui/Controls.h"
#include "ui/Conventions.h"

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

// The program's keyboard conventions, as its entry installs them with its look.
void Conventions() {
    ui::InstallConventions(*static_cast<QApplication*>(QCoreApplication::instance()));
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
    // The next keys go to the window only once every menu has closed; on a loaded machine that
    // may take a moment, and a Return sent to a closing menu starts nothing.
    ASSERT_TRUE(
        testsupport::PumpUntil([] { return QApplication::activePopupWidget() == nullptr; }, 5000));
    // Start runs the whole download, with Stop the focused button of its window.
    bool stopFocused = false;
    When([](TfrmDownload& w) { return w.Panel2->isVisible(); },
         [&stopFocused](TfrmDownload& w) { stopFocused = w.focusWidget() == w.suiButton1; });
    // Return presses the focused button as Space does.
    Conventions();
    ASSERT_TRUE(TabTo(form_->bStart));
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] { return form_->bStart->hasFocus() && QApplication::activePopupWidget() == nullptr; },
        5000));
    Start([] { Key(Qt::Key_Return); });
    EXPECT_TRUE(ReadFile(Out("Funny Cats Compilation.mp4")) == *content_.mp4);
    EXPECT_TRUE(Requested(kMetacafeFile + "&fmt=18"));
    EXPECT_TRUE(stopFocused);
}

TEST_F(Run, EscapeInTheDownloadWindowStopsTheRun) {
    const OwnPage slow = AddYouTubePage(site_, "escape00001", "Escaped");
    site_.Route(slow.file, Reply::Body(content_.flv, "video/x-flv").Trickle(2048, 20));
    AddJobs({slow.job, kMetacafe});
    When(InTransfer, [](TfrmDownload& w) { QTest::keyClick(&w, Qt::Key_Escape); });
    Start();
    EXPECT_FALSE(Requested(kMetacafe));
    EXPECT_LT(ReadFile(Out(slow.name)).size(), content_.flv->size());
}

TEST_F(Run, TheKeysOfTheWindowsDoWhatTheyShow) {
    Conventions();
    // A fresh window has the focus on the first control of the tab order, not on a link.
    TfrmMain fresh(dir_.Path() + "/");
    fresh.show();
    EXPECT_EQ(fresh.focusWidget(), fresh.lvMain);
    fresh.close();

    form_->activateWindow();
    QApplication::setActiveWindow(form_.get());
    AddJobs({kYouTubeHd, kYouTubeSd, kMetacafe});
    form_->lvMain->setFocus();
    form_->lvMain->setCurrentItem(form_->lvMain->topLevelItem(1));
    // Delete in the list removes the selected job, as Remove does.
    Key(Qt::Key_Delete);
    EXPECT_EQ(form_->Jobs(), (std::vector<std::string>{kYouTubeHd, kMetacafe}));
    EXPECT_EQ(form_->SelectedJob(), 1);
    // Return and Enter press the focused button; Remove takes the selected job too.
    ASSERT_TRUE(TabTo(form_->bRemove));
    Key(Qt::Key_Enter);
    EXPECT_EQ(form_->Jobs(), std::vector<std::string>{kYouTubeHd});
    platform::ScriptedDialogs dialogs;
    ASSERT_TRUE(TabTo(form_->bBrowser));
    Key(Qt::Key_Return);
    EXPECT_EQ(dialogs.folderRequests.size(), 1u);
    // Escape closes the about window as its close box does; OK has its focus.
    bool focusedOk = false;
    TfrmAbout about(form_.get());
    QTimer::singleShot(0, [&focusedOk, &about] {
        focusedOk = about.focusWidget() == about.bOK;
        QTest::keyClick(about.focusWidget(), Qt::Key_Escape);
    });
    EXPECT_EQ(about.ShowModal(), platform::mrCancel);
    EXPECT_TRUE(focusedOk);
}

// Walks an accessible tree, checking that each child names its parent and knows its place.
void Walk(QAccessibleInterface* node, std::vector<QAccessibleInterface*>& all) {
    all.push_back(node);
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* child = node->child(i);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child->parent(), node) << child->text(QAccessible::Name).toStdString();
        EXPECT_EQ(node->indexOfChild(child), i) << child->text(QAccessible::Name).toStdString();
        // Of the windows, only the menus are of interest here.
        if (node->object() != qApp || child->role() == QAccessible::PopupMenu) {
            Walk(child, all);
        }
    }
}

TEST_F(Run, OpenMenusAreReachedFromTheApplicationWithTheirItemsRolesAndStates) {
    form_->suiPopupMenu1->popup(form_->mapToGlobal(QPoint(20, 20)));
    form_->suiPopupMenu1->setActiveAction(form_->miYoutubeDownloadQuality->menuAction());
    form_->miYoutubeDownloadQuality->popup(form_->mapToGlobal(QPoint(120, 40)));
    ASSERT_TRUE(QTest::qWaitFor([this] { return form_->miYoutubeDownloadQuality->isVisible(); }));
    std::vector<QAccessibleInterface*> all;
    Walk(A(qApp), all);
    auto find = [&all](const QString& name) -> QAccessibleInterface* {
        for (QAccessibleInterface* node : all) {
            if (node->text(QAccessible::Name) == name && node->object() != nullptr &&
                qobject_cast<QAction*>(node->object()) != nullptr) {
                return node;
            }
        }
        return nullptr;
    };
    ASSERT_NE(find("Home Page"), nullptr) << "the open menu is not reached";
    EXPECT_EQ(find("Home Page")->role(), QAccessible::MenuItem);
    EXPECT_EQ(find("Home Page")->parent()->role(), QAccessible::PopupMenu);
    EXPECT_EQ(find("Home Page")->parent()->text(QAccessible::Name), "Advanced");
    ASSERT_NE(find("Youtube Download Quality"), nullptr);
    EXPECT_TRUE(find("Youtube Download Quality")->state().hasPopup);
    int checked = 0;
    for (const char* name : {"Normal", "HQ", "HD", "Best Available"}) {
        QAccessibleInterface* item = find(name);
        ASSERT_NE(item, nullptr) << name;
        EXPECT_EQ(item->role(), QAccessible::RadioButton) << name;
        EXPECT_TRUE(item->state().checkable) << name;
        checked += item->state().checked;
    }
    EXPECT_EQ(checked, 1);
    // No two separators follow one another.
    const auto items = form_->suiPopupMenu1->actions();
    for (qsizetype i = 1; i < items.size(); ++i) {
        EXPECT_FALSE(items[i - 1]->isSeparator() && items[i]->isSeparator()) << i;
    }
    // Choosing through the interface is choosing with the mouse.
    find("HD")->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(form_->Quality, 2);
    EXPECT_TRUE(find("HD")->state().checked);
    EXPECT_FALSE(find("Normal")->state().checked);
    form_->miYoutubeDownloadQuality->hide();
    form_->suiPopupMenu1->hide();
    // The job list's menu too, with its Delete key.
    form_->suiPopupMenu2->popup(form_->mapToGlobal(QPoint(20, 20)));
    all.clear();
    Walk(A(qApp), all);
    ASSERT_NE(find("Remove Item"), nullptr);
    EXPECT_EQ(find("Remove Item")->text(QAccessible::Accelerator), "Del");
    EXPECT_TRUE(find("Paste from Clipboard")->state().focusable);
    EXPECT_TRUE(find("Browser")->state().invisible) << "hidden in the download modes";
    form_->suiPopupMenu2->hide();
}

}  // namespace

namespace {

// Every interface in a window, the window included.
void Collect(QAccessibleInterface* node, std::vector<QAccessibleInterface*>& all) {
    all.push_back(node);
    for (int i = 0; i < node->childCount(); ++i) {
        if (QAccessibleInterface* child = node->child(i)) {
            Collect(child, all);
        }
    }
}

// What an assistive tool would find wrong in a window's tree, one line each.
std::vector<std::string> Faults(QWidget* window) {
    std::vector<QAccessibleInterface*> all;
    Collect(A(window), all);
    std::vector<std::string> faults;
    std::set<QString> buttons;
    for (QAccessibleInterface* node : all) {
        const QString name = node->text(QAccessible::Name);
        auto* label = qobject_cast<QLabel*>(node->object());
        auto fault = [&](const char* what) {
            faults.push_back(what + (": " + name.toStdString()));
        };
        switch (node->role()) {
            case QAccessible::Graphic:
                if (name.isEmpty()) {
                    fault("an unnamed picture");
                }
                break;
            case QAccessible::ColumnHeader:
                if (name.isEmpty() || name == "1") {
                    fault("a header without a name");
                }
                break;
            case QAccessible::StaticText:
                if (label != nullptr && label->text().isEmpty() && !name.isEmpty()) {
                    fault("an empty text with a borrowed name");
                }
                if (label != nullptr && !label->toolTip().isEmpty() && name != label->toolTip()) {
                    fault("a shortened text not named by its whole text");
                }
                break;
            case QAccessible::ProgressBar:
                if (node->valueInterface() != nullptr ||
                    (node->actionInterface() != nullptr &&
                     !node->actionInterface()->actionNames().isEmpty())) {
                    fault("a progress bar that offers to change it");
                }
                break;
            case QAccessible::Button:
                // Of the buttons on screen: each stage of the download window has its own Stop.
                if (!node->state().invisible && !buttons.insert(name).second) {
                    fault("two buttons of one name");
                }
                if (label != nullptr && label->text().startsWith("www.")) {
                    fault("a web address as a button");
                }
                break;
            default:
                break;
        }
    }
    return faults;
}

TEST_F(Run, NoPictureGoesUnnamedAndNoTextBorrowsOrHidesItsName) {
    TfrmAbout about(form_.get());
    about.show();
    // The convert mode shows both browse buttons.
    form_->rbConvert->click();
    EXPECT_EQ(Faults(form_.get()), std::vector<std::string>{});
    form_->rbDownload->click();
    EXPECT_EQ(Faults(form_.get()), std::vector<std::string>{});
    EXPECT_EQ(Faults(&about), std::vector<std::string>{});
    EXPECT_EQ(A(about.lbEAddress)->role(), QAccessible::Link);
    about.close();
    // The download window while it reads the page, its figures empty, and during the transfer.
    std::map<QWidget*, std::vector<std::string>> seen;
    Observe([&](TfrmDownload& w) {
        for (QWidget* panel : {w.Panel1, w.Panel2}) {
            if (panel->isVisible() && !w.lUrl->text().isEmpty() && seen.count(panel) == 0) {
                seen[panel] = Faults(&w);
                EXPECT_EQ(A(w.lUrl)->text(QAccessible::Name).toStdString(), kMetacafe);
                EXPECT_EQ(A(w.lUrl)->text(QAccessible::Description), "Address");
            }
        }
    });
    // A page and a transfer slow enough to be seen.
    Reply page = *site_.FindRoute(kMetacafe);
    site_.Route(kMetacafe, page.Trickle(page.body->size() / 4 + 1, 30));
    site_.Route(kMetacafeFile, Reply::Body(content_.flv, "video/x-flv").Trickle(8192, 15));
    AddJobs({kMetacafe});
    Start();
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& [panel, faults] : seen) {
        EXPECT_EQ(faults, std::vector<std::string>{});
    }
}

}  // namespace
