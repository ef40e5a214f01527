#pragma once

#include "platform/Form.h"

class QLabel;
class QPushButton;

namespace ui {
class ClickLabel;
}

// The about window: product name, version, the maker's notice and a link to the home page.
class TfrmAbout : public platform::TForm {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* owner);

    void lbEAddressClick();

    QLabel* Image2 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    ui::ClickLabel* lbEAddress = nullptr;
    QPushButton* bOK = nullptr;

protected:
    void FormShow() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void PaintPictures();
};
