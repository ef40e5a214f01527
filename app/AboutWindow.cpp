#include "app/AboutWindow.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "common/StringTable.h"
#include "platform/Shell.h"
#include "ui/Controls.h"
#include "ui/Pictures.h"

namespace {

QString Q(StrId id) {
    return QString::fromLocal8Bit(LoadStr(id).c_str());
}

QLabel* TextLabel(QWidget* parent, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

}  // namespace

TfrmAbout::TfrmAbout(QWidget* owner) : platform::TForm(owner) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(Q(StrId::AboutCaption));
    SetClientSize(360, 249);

    Image2 = new QLabel(this);
    Image2->setGeometry(0, 0, 360, 50);
    Image2->setAccessibleName(Q(StrId::BannerName));
    // The banner says what the main window's banner says, in the same place.
    QLabel* domain = TextLabel(Image2, Q(StrId::MakerDomain), 20, 8);
    domain->setStyleSheet(QStringLiteral("color: white; font-weight: bold; font-size: 13px;"));
    domain->adjustSize();
    TextLabel(Image2, Q(StrId::TitleHint), 20, 28)->setStyleSheet(QStringLiteral("color: white;"));

    Image1 = new QLabel(this);
    Image1->setGeometry(20, 61, 32, 32);
    Image1->setAccessibleName(Q(StrId::ProgramPictureName));

    Label1 = TextLabel(this, QString(), 80, 62);
    QFont name = Label1->font();
    name.setBold(true);
    name.setPixelSize(14);
    Label1->setFont(name);
    Label2 = TextLabel(this, Q(StrId::AboutVersionLine), 80, 84);
    TextLabel(this, Q(StrId::AboutNotice), 80, 129);
    TextLabel(this, Q(StrId::AboutSupport), 80, 152);

    auto* line = new ui::Separator(this);
    line->setGeometry(80, 176, 262, 2);

    lbEAddress = new ui::ClickLabel(this);
    lbEAddress->setText(Q(StrId::AboutWebAddress));
    // A web address, announced as the link it is, as in the main window.
    lbEAddress->setProperty(ui::kWebLinkProperty, true);
    QFont link = lbEAddress->font();
    link.setUnderline(true);
    lbEAddress->setFont(link);
    lbEAddress->setStyleSheet(QStringLiteral("color: blue;"));
    lbEAddress->move(80, 186);
    lbEAddress->adjustSize();
    connect(lbEAddress, &ui::ClickLabel::clicked, this, &TfrmAbout::lbEAddressClick);

    bOK = new QPushButton(Q(StrId::Ok), this);
    bOK->setGeometry(260, 211, 79, 23);
    bOK->setDefault(true);
    connect(bOK, &QPushButton::clicked, this, [this] { ModalResult = platform::mrOk; });
    bOK->setFocus();
    PaintPictures();
}

void TfrmAbout::PaintPictures() {
    Image2->setPixmap(ui::Banner(360, 50, devicePixelRatioF()));
    Image1->setPixmap(ui::ProgramPicture(32, devicePixelRatioF()));
}

void TfrmAbout::FormShow() {
    Label1->setText(Q(StrId::ProductName));
    Label1->adjustSize();
    CenterWindow();
    PaintPictures();
}

void TfrmAbout::keyPressEvent(QKeyEvent* event) {
    // Escape closes the window, as its close box does.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    platform::TForm::keyPressEvent(event);
}

void TfrmAbout::lbEAddressClick() {
    platform::ShellOpen(LoadStr(StrId::HomePageUrl));
}
