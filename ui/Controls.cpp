#include "ui/Controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

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

QAccessibleInterface* ControlFactory(const QString&, QObject* object) {
    if (auto* label = qobject_cast<ClickLabel*>(object)) {
        return new ClickLabelAccessible(label);
    }
    // A line, not a frame: a frame is what a window is announced as.
    if (auto* line = qobject_cast<Separator*>(object)) {
        return new QAccessibleWidget(line, QAccessible::Separator);
    }
    return nullptr;
}

void InstallAccessibility() {
    static const bool installed = (QAccessible::installFactory(ControlFactory), true);
    (void)installed;
}

}  // namespace

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {
    InstallAccessibility();
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Press();
    }
}

void ClickLabel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            Press();
            event->accept();
            return;
        default:
            QLabel::keyPressEvent(event);
    }
}

void ClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (hasFocus()) {
        QPainter painter(this);
        QStyleOptionFocusRect option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

LinkLabel::LinkLabel(const QString& text, const QColor& color, const QColor& hover, QWidget* parent)
    : ClickLabel(parent), color_(color), hover_(hover) {
    setText(text);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    Paint(color_);
}

void LinkLabel::SetLinkColor(const QColor& color) {
    color_ = color;
    Paint(color_);
}

void LinkLabel::enterEvent(QEnterEvent* event) {
    ClickLabel::enterEvent(event);
    Paint(hover_);
}

void LinkLabel::leaveEvent(QEvent* event) {
    ClickLabel::leaveEvent(event);
    Paint(color_);
}

void LinkLabel::Paint(const QColor& color) {
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, color);
    setPalette(pal);
}

Separator::Separator(QWidget* parent) : QFrame(parent) {
    InstallAccessibility();
    setFrameShape(QFrame::HLine);
    setFrameShadow(QFrame::Sunken);
    setFixedHeight(2);
}

}  // namespace ui
