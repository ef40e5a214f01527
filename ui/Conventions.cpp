#include "ui/Conventions.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>

#include "ui/Accessibility.h"

namespace ui {

namespace {

// Return and Enter press the focused push button, as Space does. A dialog's own buttons are left
// to the dialog, where Return means its default button.
class ReturnPressesButtons : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) {
            return false;
        }
        if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
            return false;
        }
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button == nullptr || !button->hasFocus() || !button->isEnabled() ||
            qobject_cast<QDialog*>(button->window()) != nullptr) {
            return false;
        }
        if (!key->isAutoRepeat()) {
            button->click();
        }
        return true;
    }
};

}  // namespace

void InstallConventions(QApplication& app) {
    InstallAccessibility();
    static QPointer<ReturnPressesButtons> filter;
    if (filter.isNull()) {
        filter = new ReturnPressesButtons(&app);
        app.installEventFilter(filter);
    }
}

}  // namespace ui
