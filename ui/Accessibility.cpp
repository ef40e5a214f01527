#include "ui/Accessibility.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QActionGroup>
#include <QApplication>
#include <QGroupBox>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>

#include "ui/Controls.h"

namespace ui {

namespace {

// A click label is announced as the link or button it behaves as, named by its text (or its
// hint, for a picture), with a press action that runs the click handler.
class ClickLabelAccessible : public QAccessibleWidget {
public:
    explicit ClickLabelAccessible(ClickLabel* label)
        : QAccessibleWidget(label, QAccessible::Button) {}

    // Asked each time: whether a label opens a web address may be said after it was made.
    QAccessible::Role role() const override {
        auto* label = static_cast<ClickLabel*>(widget());
        return qobject_cast<LinkLabel*>(label) != nullptr ||
                       label->property(kWebLinkProperty).toBool()
                   ? QAccessible::Link
                   : QAccessible::Button;
    }

    QString text(QAccessible::Text t) const override {
        auto* label = static_cast<ClickLabel*>(widget());
        if (t == QAccessible::Name && label->accessibleName().isEmpty()) {
            return label->text().isEmpty() ? label->toolTip() : label->text();
        }
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction() && widget()->isEnabled()) {
            static_cast<ClickLabel*>(widget())->Press();
        }
    }
};

// A text in a group box is named by its own text alone: Qt names a label without text after
// its group, so every empty figure of a group would be read out as the group's title.
class GroupLabelAccessible : public QAccessibleWidget {
public:
    explicit GroupLabelAccessible(QLabel* label)
        : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override {
        auto* label = static_cast<QLabel*>(widget());
        if (t == QAccessible::Name) {
            return label->accessibleName().isEmpty() ? label->text() : label->accessibleName();
        }
        return QAccessibleWidget::text(t);
    }
};

// A progress bar shows a figure the user cannot change. Qt announces it with a value that
// assistive tools then offer to increase and decrease; here its figure is its value text and
// its description.
class ProgressAccessible : public QAccessibleWidget {
public:
    explicit ProgressAccessible(QProgressBar* bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    QString text(QAccessible::Text t) const override {
        auto* bar = static_cast<QProgressBar*>(widget());
        if (t == QAccessible::Value ||
            (t == QAccessible::Description && bar->accessibleDescription().isEmpty())) {
            return bar->text();
        }
        return QAccessibleWidget::text(t);
    }
};

// The application lists its windows for assistive technology, but Qt leaves out popup menus:
// an open menu would be unreachable from the application, though it names the application as
// its parent. Menus that are open on their own (not as a submenu of an open menu, which its item
// leads to) are listed after the windows.
class ApplicationAccessible : public QAccessibleApplication {
public:
    int childCount() const override {
        return QAccessibleApplication::childCount() + static_cast<int>(OpenMenus().size());
    }
    QAccessibleInterface* child(int index) const override {
        const int windows = QAccessibleApplication::childCount();
        if (index < windows) {
            return QAccessibleApplication::child(index);
        }
        const auto menus = OpenMenus();
        return index - windows < menus.size()
                   ? QAccessible::queryAccessibleInterface(menus.at(index - windows))
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const int index = QAccessibleApplication::indexOfChild(child);
        if (index >= 0 || child == nullptr) {
            return index;
        }
        const int menu =
            static_cast<int>(OpenMenus().indexOf(qobject_cast<QMenu*>(child->object())));
        return menu < 0 ? -1 : QAccessibleApplication::childCount() + menu;
    }

private:
    static QList<QMenu*> OpenMenus() {
        QList<QMenu*> menus;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* menu = qobject_cast<QMenu*>(w);
            if (menu == nullptr || !menu->isVisible()) {
                continue;
            }
            QAccessibleInterface* own = QAccessible::queryAccessibleInterface(menu);
            QAccessibleInterface* parent = own != nullptr ? own->parent() : nullptr;
            if (parent != nullptr && parent->object() == qApp) {
                menus.push_back(menu);
            }
        }
        return menus;
    }
};

// The menu that shows an action, if any.
QMenu* MenuOf(const QAction* action) {
    for (QObject* owner : action->associatedObjects()) {
        if (auto* menu = qobject_cast<QMenu*>(owner)) {
            return menu;
        }
    }
    return nullptr;
}

// The window a menu belongs to: the one it was opened from, through any menus that lead to it.
QWidget* OwnerWindow(QMenu* menu) {
    QWidget* window = menu;
    while ((window->windowType() & Qt::Popup) == Qt::Popup && window->parentWidget() != nullptr) {
        window = window->parentWidget()->window();
    }
    return window;
}

// Whether a click could reach the items of a menu: the menu is open, and no modal window that
// its owner window does not hold keeps that window from input. Qt blocks only the mouse and the
// keyboard; the interface would otherwise press items of a closed menu, or of a window behind a
// run.
bool TakesInput(QMenu* menu) {
    if (!menu->isVisible() || !menu->isEnabled()) {
        return false;
    }
    const QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) {
        return true;
    }
    // A window the modal window owns (a menu of its own, a window it opened) takes input.
    for (const QWidget* w = OwnerWindow(menu); w != nullptr; w = w->parentWidget()) {
        if (w == modal) {
            return true;
        }
    }
    return false;
}

// A popup menu and its items, as Qt announces them but for one thing: the items of an exclusive
// choice are radio buttons, checked or not, so that it is heard that checking one unchecks the
// others (Qt makes every checkable item a plain menu item).
class MenuAccessible : public QAccessibleWidget {
public:
    explicit MenuAccessible(QMenu* menu) : QAccessibleWidget(menu, QAccessible::PopupMenu) {}

    int childCount() const override { return static_cast<int>(Menu()->actions().size()); }
    QAccessibleInterface* child(int index) const override {
        const auto actions = Menu()->actions();
        return index >= 0 && index < actions.size()
                   ? QAccessible::queryAccessibleInterface(actions.at(index))
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child == nullptr ? -1
                                : static_cast<int>(Menu()->actions().indexOf(
                                      qobject_cast<QAction*>(child->object())));
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        QAction* action = Menu()->actionAt(Menu()->mapFromGlobal(QPoint(x, y)));
        return action != nullptr ? QAccessible::queryAccessibleInterface(action) : nullptr;
    }
    // A submenu belongs to the item of an open menu that leads to it; any other menu to the
    // application.
    QAccessibleInterface* parent() const override {
        for (QObject* owner : Menu()->menuAction()->associatedObjects()) {
            auto* menu = qobject_cast<QMenu*>(owner);
            if (menu != nullptr && menu != Menu() && menu->isVisible()) {
                return QAccessible::queryAccessibleInterface(Menu()->menuAction());
            }
        }
        return QAccessible::queryAccessibleInterface(qApp);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && Menu()->accessibleName().isEmpty()) {
            return Menu()->title().remove(QLatin1Char('&'));
        }
        return QAccessibleWidget::text(t);
    }

private:
    QMenu* Menu() const { return static_cast<QMenu*>(widget()); }
};

class MenuItemAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    explicit MenuItemAccessible(QAction* action) : action_(action) {}

    bool isValid() const override { return !action_.isNull() && Menu() != nullptr; }
    QObject* object() const override { return action_; }
    QWindow* window() const override { return isValid() ? Menu()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return isValid() ? QAccessible::queryAccessibleInterface(Menu()) : nullptr;
    }
    // An item that opens a submenu has that menu as its one child.
    QAccessibleInterface* child(int index) const override {
        return index == 0 && childCount() == 1
                   ? QAccessible::queryAccessibleInterface(action_->menu())
                   : nullptr;
    }
    int childCount() const override { return isValid() && action_->menu() != nullptr ? 1 : 0; }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child != nullptr && childCount() == 1 && child->object() == action_->menu() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        if (!isValid()) {
            return {};
        }
        if (t == QAccessible::Name) {
            // "&&" stands for an ampersand; a lone "&" marks the mnemonic.
            QString name = action_->text();
            return name.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
                .remove(QLatin1Char('&'))
                .replace(QLatin1Char('\x01'), QLatin1Char('&'));
        }
        if (t == QAccessible::Accelerator) {
            return action_->shortcut().toString(QKeySequence::NativeText);
        }
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid()) {
            return {};
        }
        const QRect r = Menu()->actionGeometry(action_);
        return {Menu()->mapToGlobal(r.topLeft()), r.size()};
    }
    QAccessible::Role role() const override {
        if (!isValid()) {
            return QAccessible::MenuItem;
        }
        if (action_->isSeparator()) {
            return QAccessible::Separator;
        }
        const QActionGroup* group = action_->actionGroup();
        return action_->isCheckable() && group != nullptr && group->isExclusive()
                   ? QAccessible::RadioButton
                   : QAccessible::MenuItem;
    }
    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.invisible = !action_->isVisible() || !Menu()->isVisible();
        s.disabled = !action_->isEnabled();
        s.checkable = action_->isCheckable();
        s.checked = action_->isChecked();
        s.hasPopup = action_->menu() != nullptr;
        if (!action_->isSeparator()) {
            s.focusable = true;
            s.focused = Menu()->activeAction() == action_;
        }
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QStringList actionNames() const override {
        return isValid() && !action_->isSeparator() ? QStringList{pressAction()} : QStringList{};
    }
    // Pressing chooses the item, as a click does; on an item with a submenu it opens that menu.
    // Like a click, it reaches only an open menu of a window that takes input.
    void doAction(const QString& name) override {
        if (name != pressAction() || !isValid() || !action_->isEnabled() ||
            action_->isSeparator() || !action_->isVisible() || !TakesInput(Menu())) {
            return;
        }
        if (QMenu* submenu = action_->menu()) {
            Menu()->setActiveAction(action_);
            submenu->popup(rect().topRight());
            return;
        }
        action_->trigger();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QMenu* Menu() const { return action_.isNull() ? nullptr : MenuOf(action_); }

    QPointer<QAction> action_;
};

QAccessibleInterface* ControlFactory(const QString&, QObject* object) {
    if (auto* label = qobject_cast<ClickLabel*>(object)) {
        return new ClickLabelAccessible(label);
    }
    if (auto* label = qobject_cast<QLabel*>(object);
        label != nullptr && qobject_cast<QGroupBox*>(label->parentWidget()) != nullptr) {
        return new GroupLabelAccessible(label);
    }
    if (auto* bar = qobject_cast<QProgressBar*>(object)) {
        return new ProgressAccessible(bar);
    }
    // A line, not a frame: a frame is what a window is announced as.
    if (auto* line = qobject_cast<Separator*>(object)) {
        return new QAccessibleWidget(line, QAccessible::Separator);
    }
    if (auto* menu = qobject_cast<QMenu*>(object)) {
        return new MenuAccessible(menu);
    }
    if (auto* action = qobject_cast<QAction*>(object); action != nullptr && MenuOf(action)) {
        return new MenuItemAccessible(action);
    }
    if (object == qApp && qobject_cast<QApplication*>(object) != nullptr) {
        return new ApplicationAccessible;
    }
    return nullptr;
}

}  // namespace

void InstallAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(ControlFactory);
        // The application's interface may already be made (Qt makes it early); make it anew.
        if (qApp != nullptr) {
            if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(qApp);
                made != nullptr && dynamic_cast<ApplicationAccessible*>(made) == nullptr) {
                QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
            }
        }
        return true;
    }();
    (void)installed;
}

}  // namespace ui
