#pragma once

// The window base of every form: a fixed-size top-level widget with a modal show that runs its
// own message loop until ModalResult is set.

#include <QWidget>

class QCloseEvent;
class QCoreApplication;

namespace platform {

// While a modal window is shown, the controls of every other window are disabled, so that no
// way of pressing them (the accessibility interface included) acts behind a run or a dialog.
// Installed once where the application is set up, before any form is shown; safe to call more
// than once.
void InstallModalGuard(QCoreApplication& app);

constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;

class TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget* owner = nullptr);

    // Shows the window application-modal and handles messages until ModalResult is non-zero,
    // then hides the window and returns ModalResult. ModalResult is looked at only here, between
    // two message waits, so a handler that sets it runs to its end before the window closes.
    int ShowModal();

    int ModalResult = mrNone;

    // Sets the client area; the window cannot be resized by the user.
    void SetClientSize(int width, int height);
    // Centres the window on the screen, or on its owner when it has one that is visible.
    void CenterWindow();

protected:
    // Called once, before the window is first shown (FormShow of the form).
    virtual void FormShow() {}
    // Called when the window closes, whatever closed it (FormClose of the form).
    virtual void FormClose() {}

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool inModalLoop_ = false;
    bool closed_ = false;
};

}  // namespace platform
