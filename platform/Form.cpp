#include "platform/Form.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <map>
#include <vector>

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

// While a modal window is shown, the controls of every other window are disabled, as an owner
// window is while its dialog is open. Qt only blocks mouse and keyboard input to them; the
// accessibility interface would still press their buttons, and a run's main window could be
// closed or a second run started under the first one. The windows themselves stay enabled, so
// they still take posted messages and clipboard notices.
class ModalGuard : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* event) override {
        const QEvent::Type type = event->type();
        if ((type == QEvent::Show || type == QEvent::Hide) && object->isWidgetType()) {
            auto* window = static_cast<QWidget*>(object);
            if (window->isWindow() && window->isModal()) {
                if (type == QEvent::Show) {
                    Block(window);
                } else {
                    Unblock(window);
                }
            }
        }
        return false;
    }

private:
    struct Blocked {
        std::vector<QPointer<QWidget>> controls;
        std::vector<QPointer<QWidget>> focus;
    };

    void Block(QWidget* modal) {
        if (blocked_.contains(modal)) {
            return;
        }
        Blocked& blocked = blocked_[modal];
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window == modal || !window->isVisible() ||
                (window->windowType() & Qt::Popup) == Qt::Popup) {
                continue;
            }
            blocked.focus.emplace_back(window->focusWidget());
            for (QObject* child : window->children()) {
                auto* control = qobject_cast<QWidget*>(child);
                // A plain picture or caption has nothing to press; it keeps its looks.
                const bool inert =
                    control != nullptr && control->metaObject() == &QLabel::staticMetaObject;
                if (control != nullptr && !inert && !control->isWindow() &&
                    !control->testAttribute(Qt::WA_ForceDisabled)) {
                    control->setEnabled(false);
                    blocked.controls.emplace_back(control);
                }
            }
        }
        connect(modal, &QObject::destroyed, this, [this, modal] { Unblock(modal); });
    }

    void Unblock(QWidget* modal) {
        auto found = blocked_.find(modal);
        if (found == blocked_.end()) {
            return;
        }
        Blocked blocked = std::move(found->second);
        blocked_.erase(found);
        disconnect(modal, &QObject::destroyed, this, nullptr);
        for (const QPointer<QWidget>& control : blocked.controls) {
            if (control) {
                control->setEnabled(true);
            }
        }
        // Disabling took the focus away from the control that had it; it gets it back.
        for (const QPointer<QWidget>& focus : blocked.focus) {
            if (focus && focus->isEnabled()) {
                focus->setFocus();
            }
        }
    }

    std::map<QWidget*, Blocked> blocked_;
};

}  // namespace

void InstallModalGuard(QCoreApplication& app) {
    const QString name = QStringLiteral("modalGuard");
    if (app.findChild<QObject*>(name, Qt::FindDirectChildrenOnly) != nullptr) {
        return;
    }
    auto* guard = new ModalGuard;
    guard->setObjectName(name);
    guard->setParent(&app);
    app.installEventFilter(guard);
}

TForm::TForm(QWidget* owner) : QWidget(owner, Qt::Window | Qt::MSWindowsFixedSizeDialogHint) {
    static const bool installed = [] {
        QAccessible::installFactory(FormFactory);
        return true;
    }();
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
    if (inModalLoop_) {
        // Any close of a modal window, the first or a later one, only asks the modal loop to
        // end ("cancel" unless a result is set already); the loop closes the window once the
        // handler under way has returned, so FormClose never runs inside a stage.
        if (ModalResult == mrNone) {
            ModalResult = mrCancel;
        }
        event->ignore();
        return;
    }
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this) {
        // A window with a modal window open over it stays until that one has closed: what
        // the modal window is doing may rely on it.
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
