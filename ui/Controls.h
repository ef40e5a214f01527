#pragma once

// The few control behaviours the windows need beyond Qt's own widgets.

#include <QLabel>

namespace ui {

// Gives a control's text a colour of its own while it is enabled; disabled, it is greyed as
// every other control is.
void SetTextColor(QWidget* control, const QColor& color);

// Set to true on a click label that opens a web address: it is announced as a link.
inline constexpr const char* kWebLinkProperty = "webLink";

// A label (text or picture) that acts like a button: a left click, Space or Enter, or the
// accessible press action report clicked. It takes the keyboard focus and shows it. Disabled,
// it loses its underline, as a link that cannot be followed.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClickLabel(QWidget* parent = nullptr);
    // What every way of pressing it does.
    void Press() { emit clicked(); }

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The underline taken away while the label is disabled.
    bool underlineWhenEnabled_ = false;
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
