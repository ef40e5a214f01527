#include "ui/Controls.h"

#include <QMouseEvent>

namespace ui {

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
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
    setFrameShape(QFrame::HLine);
    setFrameShadow(QFrame::Sunken);
    setFixedHeight(2);
}

}  // namespace ui
