#pragma once

// The few control behaviours the windows need beyond Qt's own widgets.

#include <QLabel>

namespace ui {

// A label (text or picture) that reports a left click, with a hand cursor.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClickLabel(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// A web link: underlined text in the link colour that turns to the hover colour under the mouse.
class LinkLabel : public ClickLabel {
    Q_OBJECT
public:
    LinkLabel(const QString& text, const QColor& color, const QColor& hover,
              QWidget* parent = nullptr);
    void SetLinkColor(const QColor& color);
    QColor LinkColor() const { return color_; }

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void Paint(const QColor& color);

    QColor color_;
    QColor hover_;
};

// A 2-pixel sunken separator line.
class Separator : public QFrame {
    Q_OBJECT
public:
    explicit Separator(QWidget* parent = nullptr);
};

}  // namespace ui
