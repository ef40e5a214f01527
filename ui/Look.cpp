#include "ui/Look.h"

#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

#include "ui/Conventions.h"
#include "ui/Pictures.h"

namespace ui {

namespace {

// Soft blue skin: rounded gradient buttons, light fields, blue focus and progress. The focused
// control of every kind is plain to see: a 2-pixel blue frame, or a tint behind a check or
// radio button.
constexpr const char* kSkin = R"(
QPushButton {
    border: 1px solid #6b8db5; border-radius: 3px; padding: 2px 6px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #d9e6f5);
}
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #c3d9f2); }
QPushButton:pressed { background: #b3cbe8; }
QPushButton:focus { border: 2px solid #24589a; padding: 1px 5px; outline: none; }
QPushButton:disabled { color: #8a8a8a; border-color: #b8c4d2; }
QLineEdit, QComboBox, QTreeWidget {
    border: 1px solid #8aa6c8; border-radius: 2px; background: #ffffff;
    selection-background-color: #2f6db5;
}
QComboBox:disabled, QLineEdit:disabled { background: #eef1f5; color: #8a8a8a; }
QComboBox { padding: 1px 4px; }
QLineEdit:focus, QComboBox:focus, QTreeWidget:focus { border: 2px solid #2f6db5; }
QComboBox:focus { padding: 0px 3px; }
QComboBox::drop-down { border: none; width: 16px; }
QComboBox::down-arrow { image: url(:/skin/arrow-down.png); }
QComboBox::down-arrow:disabled { image: url(:/skin/arrow-down-disabled.png); }
QCheckBox:focus, QRadioButton:focus { background: #d6e4f5; border-radius: 2px; }
QProgressBar { border: 1px solid #8aa6c8; border-radius: 2px; background: #ffffff; text-align: center; }
QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6aa5e6, stop:1 #2f6db5); }
QMenu { border: 1px solid #6b8db5; }
QGroupBox { border: 1px solid #a9bdd6; border-radius: 3px; margin-top: 7px; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; }
)";

}  // namespace

void ApplyLook(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette pal = app.style()->standardPalette();
    pal.setColor(QPalette::Window, QColor(240, 244, 249));
    pal.setColor(QPalette::Highlight, QColor(47, 109, 181));
    app.setPalette(pal);
    // A compact face keeps the dense main window readable at its fixed size.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStretch(QFont::Condensed);
    font.setPixelSize(12);
    app.setFont(font);
    app.setStyleSheet(QString::fromLatin1(kSkin));
    app.setWindowIcon(ProgramIcon());
    InstallConventions(app);
}

}  // namespace ui
