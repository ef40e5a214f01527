#include "platform/Form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

namespace platform {

TForm::TForm(QWidget* owner) : QWidget(owner, Qt::Window | Qt::MSWindowsFixedSizeDialogHint) {}

int TForm::ShowModal() {
    ModalResult = mrNone;
    closed_ = false;
    setWindowModality(Qt::ApplicationModal);
    inModalLoop_ = true;
    show();
    while (ModalResult == mrNone) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    inModalLoop_ = false;
    if (!closed_) {
        close();
    }
    hide();
    return ModalResult;
}

void TForm::SetClientSize(int width, int height) {
    setFixedSize(width, height);
}

void TForm::CenterWindow() {
    QWidget* owner = parentWidget();
    QRect area;
    if (owner != nullptr && owner->isVisible()) {
        area = owner->frameGeometry();
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    if (area.isValid()) {
        move(area.left() + (area.width() - width()) / 2,
             area.top() + (area.height() - height()) / 2);
    }
}

void TForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TForm::closeEvent(QCloseEvent* event) {
    if (inModalLoop_ && ModalResult == mrNone) {
        // The title-bar close of a modal window asks the modal loop to end with "cancel"; the
        // loop closes the window once the handler under way has returned.
        ModalResult = mrCancel;
        event->ignore();
        return;
    }
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    event->accept();
}

}  // namespace platform
