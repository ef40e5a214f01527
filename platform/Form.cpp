#include "platform/Form.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

namespace platform {

namespace {

// A form is announced as a window: the program's own window as a frame, the windows it opens
// for a while (about, a run) as dialogs. A plain top-level widget would read as a filler.
QAccessibleInterface* FormFactory(const QString&, QObject* object) {
    if (auto* form = qobject_cast<TForm*>(object)) {
        return new QAccessibleWidget(
            form, form->parentWidget() != nullptr ? QAccessible::Dialog : QAccessible::Window);
    }
    return nullptr;
}

}  // namespace

TForm::TForm(QWidget* owner) : QWidget(owner, Qt::Window | Qt::MSWindowsFixedSizeDialogHint) {
    static const bool installed = (QAccessible::installFactory(FormFactory), true);
    (void)installed;
}

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
