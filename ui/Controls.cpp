#include "ui/Controls.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "ui/Accessibility.h"

namespace ui {

void SetTextColor(QWidget* control, const QColor& color) {
    QPalette pal = control->palette();
    pal.setColor(QPalette::Active, QPalette::WindowText, color);
    pal.setColor(QPalette::Inactive, QPalette::WindowText, color);
    pal.setColor(QPalette::Disabled, QPalette::WindowText,
                 QApplication::palette().color(QPalette::Disabled, QPalette::WindowText));
    control->setPalette(pal);
}

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
    if (hasFocus()) {
        // A tint and a frame in the label's own colour, under its text: they show on the light
        // window and on the banner alike.
        QPainter painter(this);
        QColor tint = palette().color(foregroundRole());
        painter.setPen(tint);
        tint.setAlpha(48);
        painter.setBrush(tint);
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
    QLabel::paintEvent(event);
}

void ClickLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    const QEvent::Type type = event->type();
    if (type != QEvent::EnabledChange && type != QEvent::FontChange) {
        return;
    }
    // Setting the font raises FontChange again; by then it has nothing left to do.
    if (!isEnabled() && font().underline()) {
        underlineWhenEnabled_ = true;
        QFont plain = font();
        plain.setUnderline(false);
        setFont(plain);
    } else if (isEnabled() && underlineWhenEnabled_) {
        underlineWhenEnabled_ = false;
        QFont underlined = font();
        underlined.setUnderline(true);
        setFont(underlined);
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
    SetTextColor(this, color);
}

Separator::Separator(QWidget* parent) : QFrame(parent) {
    InstallAccessibility();
    setFrameShape(QFrame::HLine);
    setFrameShadow(QFrame::Sunken);
    setFixedHeight(2);
}

}  // namespace ui
