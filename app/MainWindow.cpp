#include "app/MainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QWindow>
#include <cstdio>
#include <utility>

#include "app/AboutWindow.h"
#include "app/JobList.h"
#include "common/Sites.h"
#include "common/Text.h"
#include "common/VideoUrl.h"
#include "convert/ConvertThread.h"
#include "convert/Profiles.h"
#include "platform/ClipboardWatcher.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Profile.h"
#include "platform/Shell.h"
#include "platform/SingleInstance.h"
#include "ui/Controls.h"
#include "ui/Pictures.h"

const char* const kMainWindowClassName = "Tamberlo Made by Corvane Software";

namespace {

constexpr int kClientWidth = 486;
constexpr int kClientHeight = 427;
const QColor kWhite(0xFF, 0xFF, 0xFF);
const QColor kGrey(128, 128, 128);

QString Q(StrId id) {
    return QString::fromLocal8Bit(LoadStr(id).c_str());
}
QString Q(const std::string& s) {
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}
std::string Bytes(const QString& s) {
    return s.toLocal8Bit().toStdString();
}

template <typename W>
W* Place(W* widget, int left, int top) {
    widget->move(left, top);
    return widget;
}

QPushButton* Button(QWidget* parent, StrId caption, int left, int top) {
    auto* button = new QPushButton(Q(caption), parent);
    button->setGeometry(left, top, 80, 23);
    return button;
}

// The settings operations stop at the first write that fails.
struct SettingsWriteFailed {};

}  // namespace

TfrmMain::TfrmMain(const ProgramPlaces& places) : places_(places) {
    setObjectName(QString::fromLatin1(kMainWindowClassName));
    SetClientSize(kClientWidth, kClientHeight);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    CreateControls();
    CreateMenus();
    SetTabOrder();
    FormCreate();
}

TfrmMain::~TfrmMain() {
    QObject::disconnect(clipboardViewer_);
    clipboardWatcher_.reset();
}

void TfrmMain::CreateControls() {
    imgTitle = new QLabel(this);
    imgTitle->setScaledContents(true);
    imgTitle->setGeometry(0, 0, kClientWidth, 50);

    Image1 = Place(new ui::ClickLabel(this), 8, 8);
    Image1->resize(36, 36);
    Image1->setToolTip(Q(StrId::MenuHomePage).remove('&'));
    connect(Image1, &ui::ClickLabel::clicked, this, &TfrmMain::Homepage1Click);

    lTitle = Place(new ui::ClickLabel(this), 65, 8);
    lTitle->setText(Q(StrId::MakerDomain));
    QFont bold = lTitle->font();
    bold.setBold(true);
    bold.setPixelSize(13);
    lTitle->setFont(bold);
    lTitle->setStyleSheet(QStringLiteral("color: white;"));
    lTitle->adjustSize();
    connect(lTitle, &ui::ClickLabel::clicked, this, &TfrmMain::lTitleClick);

    lTitleHint = Place(new QLabel(Q(StrId::TitleHint), this), 65, 28);
    lTitleHint->setStyleSheet(QStringLiteral("color: white;"));
    lTitleHint->adjustSize();

    iUpdate = new QLabel(this);
    iUpdate->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    iUpdate->setGeometry(0, 18, 32, 32);

    lUpdate = new ui::LinkLabel(Q(StrId::CheckForUpdates), QColor(0, 0, 255), Qt::red, this);
    lUpdate->adjustSize();
    lUpdate->move(0, 27);
    connect(lUpdate, &ui::ClickLabel::clicked, this, &TfrmMain::lUpdateClick);

    pSingleMode = new QWidget(this);
    pSingleMode->setGeometry(8, 50, 474, 383);

    lVideo = Place(new QLabel(Q(StrId::CaptionPasteUrl), pSingleMode), 0, 8);
    lUrl = Place(new QLabel(Q(StrId::ExampleUrl), pSingleMode), 132, 8);
    QFont underline = lUrl->font();
    underline.setUnderline(true);
    lUrl->setFont(underline);
    lUrlEnd = Place(new QLabel(Q(StrId::UrlEnd), pSingleMode), 368, 8);
    lUrlEnd->hide();

    lvMain = new QTreeWidget(pSingleMode);
    lvMain->setGeometry(0, 27, 378, 90);
    lvMain->setColumnCount(1);
    lvMain->setHeaderHidden(true);
    lvMain->setRootIsDecorated(false);
    lvMain->setUniformRowHeights(true);
    lvMain->setSelectionMode(QAbstractItemView::SingleSelection);
    lvMain->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMain->setToolTip(Q(StrId::ListHint));
    lvMain->header()->setStretchLastSection(false);
    lvMain->setColumnWidth(0, 355);
    lvMain->setContextMenuPolicy(Qt::CustomContextMenu);
    // Addresses and files can be dropped onto the list.
    lvMain->setAcceptDrops(true);
    lvMain->viewport()->setAcceptDrops(true);
    lvMain->viewport()->installEventFilter(this);
    // Selection stays visible when the list has no focus.
    QPalette listPalette = lvMain->palette();
    listPalette.setColor(QPalette::Inactive, QPalette::Highlight,
                         listPalette.color(QPalette::Active, QPalette::Highlight));
    listPalette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         listPalette.color(QPalette::Active, QPalette::HighlightedText));
    lvMain->setPalette(listPalette);

    bPaste = Button(pSingleMode, StrId::Paste, 388, 36);
    bPaste->setToolTip(Q(StrId::PasteHint));
    bSelectFile = Button(pSingleMode, StrId::BrowseFile, 388, 100);
    bSelectFile->setToolTip(Q(StrId::BrowseFileHint));
    bRemove = Button(pSingleMode, StrId::Remove, 388, 68);
    bRemove->setToolTip(Q(StrId::RemoveHint));

    cbAutoCopy = Place(new QCheckBox(Q(StrId::AutoCopy), pSingleMode), 0, 121);
    connect(cbAutoCopy, &QCheckBox::clicked, this, &TfrmMain::cbAutoCopyClick);

    pOutputFolder = new QWidget(pSingleMode);
    pOutputFolder->setGeometry(0, 146, 474, 52);
    lOutputFolder = Place(new QLabel(Q(StrId::OutputFolder), pOutputFolder), 0, 4);
    eOutputFolder = new QLineEdit(pOutputFolder);
    eOutputFolder->setGeometry(0, 22, 378, 23);
    bBrowser = Button(pOutputFolder, StrId::BrowseFolder, 388, 22);
    bBrowser->setToolTip(Q(StrId::BrowseFolderHint));

    pLine = new ui::Separator(pSingleMode);
    // As wide as the rows of buttons it separates.
    pLine->setGeometry(8, 204, 468, 2);

    lConvertTo = Place(new QLabel(Q(StrId::ConvertTo), pSingleMode), 0, 209);
    cbFormat = new QComboBox(pSingleMode);
    cbFormat->setGeometry(0, 228, 378, 23);  // the folder field's size, so the two line up
    for (int i = 0; i < convert::ProfileCount(); ++i) {
        cbFormat->addItem(Q(convert::ProfileText(i)));
    }
    cbFormat->setCurrentIndex(0);

    rbDownload = Place(new QRadioButton(Q(StrId::ModeDownload), pSingleMode), 0, 258);
    rbDownloadConvert = Place(new QRadioButton(Q(StrId::ModeDownloadConvert), pSingleMode), 0, 282);
    rbConvert = Place(new QRadioButton(Q(StrId::ModeConvert), pSingleMode), 0, 306);
    rbDownload->setChecked(true);
    // A mode is chosen when its button becomes checked, whether by the mouse, the keyboard or
    // an assistive tool's toggle action; its handler runs once for it.
    for (auto [button, handler] : {std::pair{rbDownload, &TfrmMain::rbDownloadClick},
                                   std::pair{rbDownloadConvert, &TfrmMain::rbDownloadConvertClick},
                                   std::pair{rbConvert, &TfrmMain::rbConvertClick}}) {
        connect(button, &QRadioButton::toggled, this, [this, handler](bool checked) {
            if (checked) {
                (this->*handler)();
            }
        });
    }

    WlmShiftImage1 = Place(new ui::ClickLabel(pSingleMode), 17, 333);
    WlmShiftImage1->resize(16, 16);
    WlmShiftImage1->setToolTip(Q(StrId::MenuHint));
    connect(WlmShiftImage1, &ui::ClickLabel::clicked, this, &TfrmMain::iAboutClick);

    lbEAddress = Place(new ui::ClickLabel(pSingleMode), 38, 334);
    lbEAddress->setText(Q(StrId::Advanced));
    QFont advanced = lbEAddress->font();
    advanced.setBold(true);
    advanced.setUnderline(true);
    lbEAddress->setFont(advanced);
    ui::SetTextColor(lbEAddress, Qt::blue);
    lbEAddress->setToolTip(Q(StrId::MenuHint));
    connect(lbEAddress, &ui::ClickLabel::clicked, this, &TfrmMain::iAboutClick);

    bStart = Button(pSingleMode, StrId::Start, 171, 342);
    bShowFiles = Button(pSingleMode, StrId::ShowFiles, 279, 342);
    bExit = Button(pSingleMode, StrId::Exit, 388, 342);
    connect(bExit, &QPushButton::clicked, this, &TfrmMain::bExitClick);
    connect(bStart, &QPushButton::clicked, this, &TfrmMain::bStartClick);
    connect(bShowFiles, &QPushButton::clicked, this, &TfrmMain::bShowFilesClick);
    connect(bBrowser, &QPushButton::clicked, this, &TfrmMain::bBrowserClick);
    connect(bPaste, &QPushButton::clicked, this, &TfrmMain::bPasteClick);
    connect(bRemove, &QPushButton::clicked, this, &TfrmMain::bRemoveClick);
    connect(bSelectFile, &QPushButton::clicked, this, &TfrmMain::bSelectFileClick);
    connect(lvMain, &QTreeWidget::itemSelectionChanged, this, &TfrmMain::lvMainChange);

    // Names for assistive technology where no label says it (hints are the descriptions).
    eOutputFolder->setAccessibleName(Q(StrId::OutputFolder).remove(QLatin1Char(':')));
    cbFormat->setAccessibleName(Q(StrId::ConvertTo).remove(QLatin1Char(':')));
    // Both browse buttons say "Browser...": their names say what each one browses for.
    bSelectFile->setAccessibleName(Q(StrId::BrowseFileName));
    bBrowser->setAccessibleName(Q(StrId::BrowseFolderName));
    imgTitle->setAccessibleName(Q(StrId::BannerName));
    iUpdate->setAccessibleName(Q(StrId::UpdateGlyphName));
    // A hint is what assistive technology reads as the description (lists do not by themselves).
    for (QWidget* w : findChildren<QWidget*>()) {
        if (!w->toolTip().isEmpty()) {
            w->setAccessibleDescription(w->toolTip());
        }
    }
    Image1->setProperty(ui::kWebLinkProperty, true);
    lTitle->setProperty(ui::kWebLinkProperty, true);
    lVideo->setBuddy(lvMain);
    lOutputFolder->setBuddy(eOutputFolder);
    lConvertTo->setBuddy(cbFormat);
    // The picture links repeat the menu's Home Page and the Advanced link: one tab stop each.
    Image1->setFocusPolicy(Qt::NoFocus);
    WlmShiftImage1->setFocusPolicy(Qt::NoFocus);
    for (QLabel* label :
         {lVideo, lUrl, lUrlEnd, lOutputFolder, lConvertTo, static_cast<QLabel*>(lbEAddress)}) {
        label->adjustSize();
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{cbAutoCopy, rbDownload, rbDownloadConvert, rbConvert}) {
        w->adjustSize();
    }
    // The Advanced link and its picture sit on the middle line of the button row.
    for (QWidget* w : std::initializer_list<QWidget*>{WlmShiftImage1, lbEAddress}) {
        w->move(w->x(), bStart->y() + (bStart->height() - w->height()) / 2);
    }
    PaintPictures();
}

void TfrmMain::PaintPictures() {
    const qreal dpr = devicePixelRatioF();
    imgTitle->setPixmap(ui::Banner(kClientWidth, 50, dpr));
    Image1->setPixmap(ui::ProgramPicture(36, dpr));
    iUpdate->setPixmap(ui::UpdateGlyph(16, dpr));
    WlmShiftImage1->setPixmap(ui::MenuGlyph(16, dpr));
}

void TfrmMain::CreateMenus() {
    suiPopupMenu1 = new QMenu(this);
    suiPopupMenu1->setTitle(Q(StrId::Advanced));  // what assistive technology calls it
    suiPopupMenu1->setSeparatorsCollapsible(false);
    Homepage1 = suiPopupMenu1->addAction(Q(StrId::MenuHomePage));
    connect(Homepage1, &QAction::triggered, this, &TfrmMain::Homepage1Click);
    suiPopupMenu1->addSeparator();
    miYoutubeDownloadQuality = suiPopupMenu1->addMenu(Q(StrId::MenuQuality));
    // One choice of four: drawn and announced as radio items.
    auto* qualities = new QActionGroup(miYoutubeDownloadQuality);
    qualities->setExclusive(true);
    int tag = 0;
    for (auto [item, caption] :
         {std::pair{&Normal1, StrId::QualityNormal}, std::pair{&HQ1, StrId::QualityHQ},
          std::pair{&HD1, StrId::QualityHD}, std::pair{&BestAvailable1, StrId::QualityBest}}) {
        QAction* action = miYoutubeDownloadQuality->addAction(Q(caption));
        action->setCheckable(true);
        action->setActionGroup(qualities);
        action->setData(tag++);  // the item's Tag
        connect(action, &QAction::triggered, this, [this, action] { mi_QalityClick(action); });
        *item = action;
    }
    Normal1->setChecked(true);
    miConnections = suiPopupMenu1->addMenu(Q(StrId::MenuConnections));
    auto* counts = new QActionGroup(miConnections);
    counts->setExclusive(true);
    for (int count : {1, 2, 4, 8, 16}) {
        QAction* action = miConnections->addAction(QString::number(count));
        action->setCheckable(true);
        action->setActionGroup(counts);
        action->setData(count);
        connect(action, &QAction::triggered, this, [this, count] { Connections = count; });
    }
    suiPopupMenu1->addSeparator();
    About1 = suiPopupMenu1->addAction(Q(StrId::MenuAbout));
    connect(About1, &QAction::triggered, this, &TfrmMain::About1Click);

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { suiPopupMenu1->popup(mapToGlobal(at)); });

    suiPopupMenu2 = new QMenu(this);
    suiPopupMenu2->setSeparatorsCollapsible(false);
    miPaste = suiPopupMenu2->addAction(Q(StrId::MenuPasteFromClipboard));
    miBrowser = suiPopupMenu2->addAction(Q(StrId::MenuBrowser));
    suiPopupMenu2->addSeparator();
    miRemoveItem = suiPopupMenu2->addAction(Q(StrId::MenuRemoveItem));
    // Delete in the list removes the selected job; the menu shows the key beside its item.
    miRemoveItem->setShortcut(QKeySequence::Delete);
    miRemoveItem->setShortcutContext(Qt::WidgetShortcut);
    lvMain->addAction(miRemoveItem);
    suiPopupMenu2->addSeparator();
    miRemoveAll = suiPopupMenu2->addAction(Q(StrId::MenuRemoveAll));
    connect(miPaste, &QAction::triggered, this, &TfrmMain::bPasteClick);
    connect(miBrowser, &QAction::triggered, this, &TfrmMain::bSelectFileClick);
    connect(miRemoveItem, &QAction::triggered, this, &TfrmMain::bRemoveClick);
    connect(miRemoveAll, &QAction::triggered, this, &TfrmMain::miRemoveAllClick);
    connect(lvMain, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        suiPopupMenu2->popup(lvMain->viewport()->mapToGlobal(at));
    });
}

void TfrmMain::SetTabOrder() {
    // The form's order, then the links a keyboard user also needs.
    const QWidget* order[] = {lvMain,   bPaste,     bRemove,    cbAutoCopy,        eOutputFolder,
                              bBrowser, cbFormat,   rbDownload, rbDownloadConvert, rbConvert,
                              bStart,   bShowFiles, bExit,      bSelectFile,       lbEAddress,
                              lTitle,   lUpdate};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        QWidget::setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
    }
    // The window opens with the focus on the first of them, not on a link.
    const_cast<QWidget*>(order[0])->setFocus();
}

void TfrmMain::FormCreate() {
    pLine->move(0, pLine->y());
    // Joining the clipboard viewer chain: on this desktop the clipboard itself tells us of every
    // change, and there is never a next viewer to pass notices on to.
    NextViewer = nullptr;
    clipboardViewer_ = connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
                               &TfrmMain::OnClipboardChange);
    clipboardWatcher_ =
        platform::WatchWaylandClipboard([this](const std::string& text) { OnClipboardText(text); });
    setWindowTitle(Q(StrId::ProductName) + QLatin1Char(' ') + Q(StrId::Version));
    ConvertProcess = std::make_unique<TConvertProcess>();
    LoadSaveSettings(true);
    lUpdate->SetLinkColor(kWhite);
    bSelectFile->move(bPaste->pos());
}

void TfrmMain::FormShow() {
    // Checking a button runs its mode handler; one already checked is run here.
    auto choose = [this](QRadioButton* button, void (TfrmMain::*handler)()) {
        if (button->isChecked()) {
            (this->*handler)();
        } else {
            button->setChecked(true);
        }
    };
    switch (Mode) {
        case 0:
            choose(rbDownload, &TfrmMain::rbDownloadClick);
            break;
        case 1:
            choose(rbDownloadConvert, &TfrmMain::rbDownloadConvertClick);
            break;
        case 2:
            choose(rbConvert, &TfrmMain::rbConvertClick);
            break;
        default:
            break;  // the form's own state stands
    }
    eOutputFolder->setText(Q(OutputDirectory));
    cbFormat->setCurrentIndex(ConvertFormat);
    cbAutoCopy->setChecked(AutoCopy);
    imgTitle->setGeometry(0, 0, width(), 50);
    lUpdate->move(width() - lUpdate->width() - 10, lUpdate->y());
    iUpdate->move(lUpdate->x() - 20, iUpdate->y());
    iUpdate->lower();
    imgTitle->lower();
    for (QAction* item : miYoutubeDownloadQuality->actions()) {
        item->setChecked(item->data().toInt() == Quality);
    }
    for (QAction* item : miConnections->actions()) {
        item->setChecked(item->data().toInt() == Connections);
    }
    CenterWindow();
    // Pictures are drawn again for a screen of another scale.
    if (QWindow* window = windowHandle()) {
        connect(window, &QWindow::screenChanged, this, &TfrmMain::PaintPictures,
                Qt::UniqueConnection);
    }
}

void TfrmMain::FormClose() {
    // Nothing that fails here may keep the window open; leaving the clipboard chain must happen
    // on every close, so a failed save does not skip the steps after it.
    try {
        LoadSaveSettings(false);
    } catch (...) {
    }
    try {
        // Leaving the clipboard viewer chain. The chain-change notice would go to NextViewer,
        // which on this desktop is always null: there is no one to tell.
        QObject::disconnect(clipboardViewer_);
        clipboardWatcher_.reset();
        ConvertProcess.reset();
    } catch (...) {
    }
}

bool TfrmMain::event(QEvent* event) {
    if (static_cast<int>(event->type()) == platform::WM_SECOND_INSTANCE) {
        const auto* start = dynamic_cast<platform::SecondInstanceEvent*>(event);
        OnSecondInstance(start != nullptr ? start->ActivationToken() : std::string());
        return true;
    }
    return platform::TForm::event(event);
}

void TfrmMain::OnSecondInstance(const std::string& activationToken) {
    platform::BringToFront(*this, activationToken);
}

void TfrmMain::OnClipboardChange() {
    // There is no next viewer to pass the notice on to (NextViewer stays null). Where the
    // compositor reports every change, the clipboard's own notice adds nothing but a repeat of
    // the last text when the window gets the focus.
    if (clipboardWatcher_ && clipboardWatcher_->Active()) {
        return;
    }
    if (AutoCopyTakes()) {
        TakeClipboardText(IntakeSource::AutoCopy);
    }
}

void TfrmMain::OnClipboardText(const std::string& text) {
    if (AutoCopyTakes()) {
        TakeText(text, IntakeSource::AutoCopy);
    }
}

bool TfrmMain::AutoCopyTakes() const {
    // The check box's own state tells the mode; its window's controls are disabled while a run
    // is open, and intake goes on then.
    return cbAutoCopy->isChecked() && !cbAutoCopy->testAttribute(Qt::WA_ForceDisabled);
}

void TfrmMain::TakeClipboardText(IntakeSource source) {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (data == nullptr || !data->hasText()) {
        return;
    }
    TakeText(IntakeBytes(data->text()), source);
}

void TfrmMain::TakeText(const std::string& text, IntakeSource source) {
    const auto added = IntakeAddresses(text, Jobs(), source);
    if (!added) {
        return;
    }
    AppendJobs(*added);
    if (JobCount() > 0) {
        SelectJob(JobCount() - 1);
    }
}

namespace {

// The text a drop offers: its plain text, else the addresses it carries, one a line.
std::string DroppedText(const QMimeData& data) {
    if (data.hasText()) {
        return IntakeBytes(data.text());
    }
    std::string text;
    for (const QUrl& url : data.urls()) {
        text += Bytes(url.toString()) + "\n";
    }
    return text;
}

// The files a drop offers, in its order; folders and remote addresses are not files.
std::vector<std::string> DroppedFiles(const QMimeData& data) {
    std::vector<std::string> files;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) {
            files.push_back(Bytes(url.toLocalFile()));
        }
    }
    return files;
}

}  // namespace

TfrmMain::DropOffer TfrmMain::ReadDrop(const QMimeData* data) const {
    // What a drop adds depends on the mode and never changes it: addresses go through the
    // intake of Paste in the download modes, files are added as the chooser adds them in the
    // convert mode. Anything else is refused, without a message.
    DropOffer offer;
    offer.convert = rbConvert->isChecked();
    if (data == nullptr) {
        return offer;
    }
    if (offer.convert) {
        offer.files = DroppedFiles(*data);
        offer.wanted = !offer.files.empty();
    } else {
        offer.text = DroppedText(*data);
        const auto addresses = IntakeAddresses(offer.text, {});
        offer.wanted = addresses && !addresses->empty();
    }
    return offer;
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == lvMain->viewport() && type == QEvent::DragLeave) {
        dropOffer_.reset();
    }
    if (watched != lvMain->viewport() ||
        (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)) {
        return platform::TForm::eventFilter(watched, event);
    }
    // The offer is read once per drag, as it enters: a text of many lines is not read again
    // on every move of the mouse.
    auto* drop = static_cast<QDropEvent*>(event);
    if (type == QEvent::DragEnter || !dropOffer_) {
        dropOffer_ = ReadDrop(drop->mimeData());
    }
    if (!dropOffer_->wanted) {
        drop->ignore();
    } else if ((drop->possibleActions() & Qt::CopyAction) != 0) {
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
    } else {
        drop->acceptProposedAction();
    }
    if (type == QEvent::Drop) {
        const DropOffer offer = *std::exchange(dropOffer_, std::nullopt);
        if (offer.wanted && offer.convert) {
            TakeFiles(offer.files);
        } else if (offer.wanted) {
            TakeText(offer.text);
        }
    }
    return true;
}

void TfrmMain::AppendJobs(const std::vector<std::string>& texts) {
    if (texts.empty()) {
        return;
    }
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(texts.size()));
    for (const std::string& job : texts) {
        auto* item = new QTreeWidgetItem(QStringList{Q(job)});
        // The caption is for display; the job keeps its exact bytes.
        item->setData(0, Qt::UserRole, QByteArray(job.data(), static_cast<qsizetype>(job.size())));
        items.push_back(item);
    }
    lvMain->addTopLevelItems(items);
    lvMainChange();
}

void TfrmMain::SelectJob(int index) {
    if (index < 0 || index >= JobCount()) {
        lvMain->setCurrentItem(nullptr);
        lvMain->clearSelection();
        return;
    }
    QTreeWidgetItem* item = lvMain->topLevelItem(index);
    lvMain->setCurrentItem(item);
    item->setSelected(true);
    lvMain->scrollToItem(item);
}

std::vector<std::string> TfrmMain::Jobs() const {
    std::vector<std::string> jobs;
    jobs.reserve(static_cast<std::size_t>(JobCount()));
    for (int i = 0; i < JobCount(); ++i) {
        jobs.push_back(lvMain->topLevelItem(i)->data(0, Qt::UserRole).toByteArray().toStdString());
    }
    return jobs;
}

int TfrmMain::JobCount() const {
    return lvMain->topLevelItemCount();
}

int TfrmMain::SelectedJob() const {
    const auto selected = lvMain->selectedItems();
    return selected.isEmpty() ? -1 : lvMain->indexOfTopLevelItem(selected.first());
}

void TfrmMain::bPasteClick() {
    TakeClipboardText();
}

void TfrmMain::bRemoveClick() {
    const int selected = SelectedJob();
    if (selected < 0) {
        return;
    }
    const int next = SelectionAfterRemove(selected, JobCount());
    delete lvMain->takeTopLevelItem(selected);
    SelectJob(next);
    lvMainChange();
}

void TfrmMain::miRemoveAllClick() {
    lvMain->clear();
    lvMainChange();
}

void TfrmMain::cbAutoCopyClick() {
    AutoCopy = cbAutoCopy->isChecked();
}

void TfrmMain::lvMainChange() {
    lvMain->setColumnWidth(0, JobColumnWidth(JobCount()));
}

void TfrmMain::bStartClick() {
    // Nothing that fails unexpectedly here may take the main window down with it.
    try {
        auto say = [this](const std::string& text, platform::MsgIcon icon,
                          platform::MsgButtons buttons) {
            return platform::Dialogs::Current().MessageBox(
                this, {text, LoadStr(StrId::ProductName), icon, buttons});
        };
        if (JobCount() == 0) {
            say(LoadStr(rbConvert->isChecked() ? StrId::PleaseSelectLocalFile
                                               : StrId::PleaseEnterUrl),
                platform::MsgIcon::Information, platform::MsgButtons::Ok);
            return;
        }
        OutputDirectory = Bytes(eOutputFolder->text());
        if (!platform::DirectoryExists(OutputDirectory)) {
            const std::string question = OutputDirectory + "," + LoadStr(StrId::OutputDirNotExist) +
                                         "\r\n" + LoadStr(StrId::CreateNewDirectory);
            if (say(question, platform::MsgIcon::Information, platform::MsgButtons::YesNo) !=
                platform::MsgAnswer::Yes) {
                return;
            }
            if (!platform::ForceDirectories(OutputDirectory)) {
                say(LoadStr(StrId::CannotCreate) + OutputDirectory, platform::MsgIcon::Error,
                    platform::MsgButtons::Ok);
                return;
            }
        }
        std::vector<std::string> jobs;
        for (const std::string& job : Jobs()) {
            jobs.push_back(NormalizeVideoUrl(job));
        }
        auto download = std::make_unique<TfrmDownload>(*this, jobs);
        download->Mode = rbDownload->isChecked() ? 0 : rbDownloadConvert->isChecked() ? 1 : 2;
        download->OutputExt = GetOutputExt();
        download->ConvertParams = GetConvertParams();
        download->ShowModal();
        download.reset();
        if (JobCount() > 0) {
            SelectJob(0);
        }
    } catch (...) {
    }
}

std::string TfrmMain::OutputFolderText() const {
    return Bytes(eOutputFolder->text());
}

void TfrmMain::bShowFilesClick() {
    OutputDirectory = Bytes(eOutputFolder->text());
    if (platform::DirectoryExists(OutputDirectory)) {
        platform::ShellOpenFolder(OutputDirectory);
        return;
    }
    platform::Dialogs::Current().MessageBox(
        this, {OutputDirectory + "," + LoadStr(StrId::OutputDirNotExist),
               LoadStr(StrId::ProductName), platform::MsgIcon::Error, platform::MsgButtons::Ok});
}

void TfrmMain::bBrowserClick() {
    std::string folder;
    if (platform::SelectFolder(LoadStr(StrId::SelectDirectoryTitle), "", folder)) {
        eOutputFolder->setText(Q(folder));
        OutputDirectory = Bytes(eOutputFolder->text());
    }
}

void TfrmMain::bSelectFileClick() {
    // The chooser opens where files were last taken from in this session.
    auto files = platform::Dialogs::Current().OpenFiles(
        this,
        {LoadStr(StrId::VideoFilesFilter), true, LoadStr(StrId::BrowseFileHint), lastFileFolder_});
    if (files) {
        TakeFiles(*files);
    }
}

void TfrmMain::TakeFiles(const std::vector<std::string>& files) {
    if (!files.empty()) {
        lastFileFolder_ = Bytes(QFileInfo(Q(files.back())).absolutePath());
    }
    AppendJobs(NewFileJobs(files, Jobs()));
}

std::string TfrmMain::SettingsPath() const {
    return places_.settingsFolder + "settings.ini";
}

void TfrmMain::LoadSaveSettings(bool load) {
    const std::string path = SettingsPath();
    if (load) {
        OutputDirectory = platform::GetPrivateProfileString("Options", "OutputDirectory",
                                                            places_.outputFolder, path);
        Mode = platform::GetPrivateProfileInt("Options", "RadioButton", 0, path);
        ConvertFormat = platform::GetPrivateProfileInt("Options", "ConvertFormat", 0, path);
        AutoCopy = platform::GetPrivateProfileInt("Copy", "Enable", 0, path) != 0;
        Quality = platform::GetPrivateProfileInt("Options", "Quality", 0, path);
        if (Quality > 3 || Quality < 0) {
            Quality = 0;
        }
        // A profile that is not in the list would leave every conversion without an extension.
        if (ConvertFormat < 0 || ConvertFormat >= convert::ProfileCount()) {
            ConvertFormat = 0;
        }
        Connections = platform::GetPrivateProfileInt("Options", "Connections", 4, path);
        if (Connections < 1 || Connections > 16) {
            Connections = 4;
        }
        // Said at the start, so that the user knows before changing anything.
        SettingsMayBeWritten();
        return;
    }
    if (!SettingsMayBeWritten()) {
        return;
    }
    auto write = [&path](const char* section, const char* key, const std::string& value) {
        if (!platform::WritePrivateProfileString(section, key, value, path)) {
            throw SettingsWriteFailed{};
        }
    };
    const std::string typed = Bytes(eOutputFolder->text());
    if (platform::DirectoryExists(typed)) {
        OutputDirectory = typed;
    }
    // A folder too long to be read back whole is not stored: the one stored before stays.
    if (OutputDirectory.size() <= platform::kProfileStringMax) {
        write("Options", "OutputDirectory", OutputDirectory);
    }
    Mode = rbDownload->isChecked() ? 0 : rbDownloadConvert->isChecked() ? 1 : 2;
    write("Options", "RadioButton", std::to_string(Mode));
    ConvertFormat = cbFormat->currentIndex();
    write("Options", "ConvertFormat", std::to_string(ConvertFormat));
    write("Copy", "Enable", AutoCopy ? "1" : "0");
    write("Options", "Quality", std::to_string(Quality));
    write("Options", "Connections", std::to_string(Connections));
}

bool TfrmMain::SettingsMayBeWritten() {
    const std::string path = SettingsPath();
    StrId why = StrId::SettingsReadOnly;
    switch (platform::CheckProfileAccess(path)) {
        case platform::ProfileAccess::Writable:
            return true;
        case platform::ProfileAccess::ReadOnly:
            break;
        case platform::ProfileAccess::Link:
            why = StrId::SettingsLink;
            break;
        case platform::ProfileAccess::NotAFile:
            why = StrId::SettingsNotAFile;
            break;
    }
    // A line for whoever started the program from a terminal, not a box at every close: a file
    // made read-only is usually meant to be.
    if (!settingsKeptSaid_) {
        settingsKeptSaid_ = true;
        std::fprintf(stderr, "%s\n", Bytes(Q(why).arg(Q(path))).c_str());
    }
    return false;
}

std::string TfrmMain::GetOutputExt() const {
    return convert::OutputExtForText(Bytes(cbFormat->currentText()));
}

std::string TfrmMain::GetConvertParams() const {
    return convert::ConvertParamsForIndex(cbFormat->currentIndex());
}

void TfrmMain::ApplyMode(bool convertControls, bool downloadControls, StrId caption) {
    lConvertTo->setEnabled(convertControls);
    cbFormat->setEnabled(convertControls);
    lVideo->setText(Q(caption));
    lVideo->adjustSize();
    // The list is named by its caption, without the example that follows it.
    lvMain->setAccessibleName(
        Q(caption).section(QStringLiteral(" ("), 0, 0).remove(QLatin1Char(':')));
    // Its one column too, whose header is hidden but still read out.
    lvMain->setHeaderLabel(lvMain->accessibleName());
    lUrl->setVisible(downloadControls);
    lUrlEnd->setVisible(downloadControls);
    bPaste->setVisible(downloadControls);
    cbAutoCopy->setEnabled(downloadControls);
    QPalette pal = cbAutoCopy->palette();
    const QColor text =
        downloadControls ? QApplication::palette().color(QPalette::WindowText) : kGrey;
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::Disabled, QPalette::WindowText, text);
    cbAutoCopy->setPalette(pal);
    bSelectFile->setVisible(!downloadControls);
    miPaste->setVisible(downloadControls);
    miBrowser->setVisible(!downloadControls);
}

void TfrmMain::rbDownloadClick() {
    ApplyMode(false, true, StrId::CaptionEnterUrl);
}
void TfrmMain::rbDownloadConvertClick() {
    ApplyMode(true, true, StrId::CaptionEnterUrl);
}
void TfrmMain::rbConvertClick() {
    ApplyMode(true, false, StrId::CaptionSelectFile);
}

void TfrmMain::mi_QalityClick(QAction* item) {
    const auto widgets = item->associatedObjects();
    for (QObject* owner : widgets) {
        if (auto* menu = qobject_cast<QMenu*>(owner)) {
            for (QAction* sibling : menu->actions()) {
                sibling->setChecked(false);
            }
        }
    }
    item->setChecked(true);
    Quality = item->data().toInt();
}

void TfrmMain::iAboutClick() {
    // From the keyboard the menu opens below the link, not wherever the mouse happens to be.
    if (lbEAddress->hasFocus()) {
        suiPopupMenu1->popup(lbEAddress->mapToGlobal(QPoint(0, lbEAddress->height())));
        return;
    }
    suiPopupMenu1->popup(QCursor::pos());
}

void TfrmMain::Homepage1Click() {
    platform::ShellOpen(LoadStr(StrId::HomePageUrl));
}

void TfrmMain::lTitleClick() {
    platform::ShellOpen(LoadStr(StrId::MakerSiteUrl));
}

void TfrmMain::lUpdateClick() {
    const std::string& address = LoadStr(StrId::UpdatePageUrl);
    if (!text::Trim(address).empty()) {
        platform::ShellOpen(address);
    }
}

void TfrmMain::About1Click() {
    auto about = std::make_unique<TfrmAbout>(this);
    about->ShowModal();
}

void TfrmMain::bExitClick() {
    close();
}
