#include "retrieval/Download.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <climits>

#include "common/Global.h"
#include "common/Proxy.h"
#include "common/StringTable.h"
#include "convert/ConvertThread.h"
#include "http/HttpProt.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "platform/WebBrowser.h"
#include "retrieval/FileTransfer.h"
#include "retrieval/RunNotice.h"

namespace {

struct PanelSize {
    int width;
    int height;
};
constexpr PanelSize kPanel1{268, 129};
constexpr PanelSize kPanel2{353, 202};
constexpr PanelSize kPanel3{348, 145};

QString Q(StrId id) {
    return QString::fromLocal8Bit(LoadStr(id).c_str());
}

QLabel* Label(QWidget* parent, const QString& text, int left, int top, int width = 0) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    if (width > 0) {
        label->resize(width, label->sizeHint().height());
    } else {
        label->adjustSize();
    }
    return label;
}

QPushButton* StopButton(QWidget* parent, int left, int top) {
    auto* button = new QPushButton(Q(StrId::Stop), parent);
    button->setGeometry(left, top, 80, 23);
    button->setAutoDefault(true);
    return button;
}

// A figure beside its caption: read out as the figure it shows, described by its caption.
QLabel* Value(QWidget* parent, StrId caption, int left, int top, int width) {
    QLabel* value = Label(parent, {}, left, top, width);
    value->setAccessibleDescription(
        Q(caption).remove(QChar(0xFF1A)).remove(QLatin1Char(':')).trimmed());
    return value;
}

}  // namespace

TfrmDownload::TfrmDownload(TDownloadOwner& owner, const std::vector<std::string>& jobs)
    : platform::TForm(owner.OwnerWindow()), Jobs(jobs), owner_(owner) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    BrowserSession = std::make_unique<platform::BrowserSession>();
    WebBrowser_1 = new platform::TWebBrowser(*BrowserSession, this);
    WebBrowser_2 = new platform::TWebBrowser(*BrowserSession, this);

    HttpCli1 = std::make_unique<THttpCli>(nullptr, "HttpCli1");
    HttpCli1->LocalAddr = "0.0.0.0";
    HttpCli1->ProxyPort = "80";
    HttpCli1->Agent = "Mozilla/3.0 (compatible)";
    HttpCli1->Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    HttpCli1->NoCache = false;
    HttpCli1->ContentTypePost = "application/x-www-form-urlencoded";
    HttpCli1->MultiThreaded = false;
    // Asked in 1.1, a server or proxy frames every body by its length or in chunks, so a body
    // cut short is known as such; in 1.0 only the connection's close would end it.
    HttpCli1->SetRequestVer("1.1");
    HttpCli1->FollowRelocation = true;
    HttpCli1->LocationChangeMaxCount = 5;
    HttpCli1->BandwidthLimit = 10000;
    HttpCli1->BandwidthSampling = 1000;
    HttpCli1->Options = {};
    HttpCli1->OnHeaderData = [this](THttpCli&) { HttpCli1HeaderData(); };
    HttpCli1->OnDocData = [this](THttpCli&, const char*, int) { HttpCli1DocData(); };

    CreateControls();
    setWindowTitle(Q(StrId::ProductName));
}

TfrmDownload::~TfrmDownload() {
    // The client goes first: its socket's last notices must not reach the form's controls.
    HttpCli1.reset();
}

void TfrmDownload::CreateControls() {
    Panel1 = new QWidget(this);
    Panel1->resize(kPanel1.width, kPanel1.height);
    Label1 = Label(Panel1, Q(StrId::GetHtmlPleaseWait), 16, 20, 236);
    lUrl = Label(Panel1, {}, 16, 46, 236);
    lUrl->setAccessibleDescription(QStringLiteral("Address"));
    bStop = StopButton(Panel1, 94, 90);

    Panel2 = new QWidget(this);
    Panel2->resize(kPanel2.width, kPanel2.height);
    lFileName = Label(Panel2, {}, 12, 10, 329);
    lFileName->setAccessibleDescription(QStringLiteral("File"));
    suiProgressBar1 = new QProgressBar(Panel2);
    suiProgressBar1->setGeometry(12, 32, 329, 20);
    suiProgressBar1->setRange(0, 100);
    suiProgressBar1->setAccessibleName(QStringLiteral("Download progress"));
    gbDetails = new QGroupBox(Q(StrId::DetailsGroup), Panel2);
    gbDetails->setGeometry(12, 60, 329, 100);
    // The size has a line of its own: "9,765,625,000 KB of 9,765,625,000 KB received" needs
    // the group's whole width.
    Label(gbDetails, Q(StrId::DownloadSize), 12, 20);
    lReceiveData = Value(gbDetails, StrId::DownloadSize, 12, 37, 305);
    QLabel* time = Label(gbDetails, Q(StrId::EstimatingTime), 12, 57);
    QLabel* speed = Label(gbDetails, Q(StrId::DownloadSpeed), 12, 77);
    const int column = 12 + std::max(time->width(), speed->width()) + 4;
    lEstimateTime = Value(gbDetails, StrId::EstimatingTime, column, 57, 317 - column);
    lReceiveSpeed = Value(gbDetails, StrId::DownloadSpeed, column, 77, 317 - column);
    suiButton1 = StopButton(Panel2, 136, 168);

    Panel3 = new QWidget(this);
    Panel3->resize(kPanel3.width, kPanel3.height);
    gbConverting = new QGroupBox(Q(StrId::ConvertingGroup), Panel3);
    gbConverting->setGeometry(12, 8, 324, 98);
    lConvertName = Label(gbConverting, {}, 12, 22, 300);
    lConvertName->setAccessibleDescription(QStringLiteral("File"));
    suiProgressBar2 = new QProgressBar(gbConverting);
    suiProgressBar2->setGeometry(12, 44, 300, 18);
    suiProgressBar2->setRange(0, 100);
    suiProgressBar2->setAccessibleName(QStringLiteral("Conversion progress"));
    QLabel* elapsed = Label(gbConverting, Q(StrId::TimeElapsed), 12, 72);
    lTimeElapsed = Value(gbConverting, StrId::TimeElapsed, 12 + elapsed->width() + 2, 72, 60);
    lTimeElapsed->setText(Q(StrId::ZeroTime));
    QLabel* estimated = Label(gbConverting, Q(StrId::TimeEstimated), 164, 72);
    lTimeEstimated =
        Value(gbConverting, StrId::TimeEstimated, 164 + estimated->width() + 2, 72, 60);
    lTimeEstimated->setText(Q(StrId::ZeroTime));
    suiButton2 = StopButton(Panel3, 134, 114);

    for (QPushButton* button : {bStop, suiButton1, suiButton2}) {
        connect(button, &QPushButton::clicked, this, &TfrmDownload::bStopClick);
    }
}

void TfrmDownload::ShowPanel(QWidget* panel) {
    for (QWidget* p : {Panel1, Panel2, Panel3}) {
        if (p != panel) {
            p->hide();
        }
    }
    panel->show();
    SetClientSize(panel->width(), panel->height());
    // The Stop button of the stage is where the keyboard is (in a window not active yet, once
    // it becomes active).
    for (QPushButton* button : panel->findChildren<QPushButton*>()) {
        button->setDefault(true);
        button->setFocus();
    }
}

void TfrmDownload::ResetView() {
    WebBrowser_1->Width = 0;
    WebBrowser_2->Width = 0;
    eDownloadUrl.clear();
    eFileName.clear();
    suiProgressBar1->setValue(0);
    transferPosition_ = 0;
    suiProgressBar2->setValue(0);
    for (QWidget* panel : {Panel1, Panel2, Panel3}) {
        panel->move(0, 0);
        panel->hide();
    }
    setWindowTitle(Q(StrId::ProductName));
    for (QLabel* label : {lFileName, lReceiveData, lEstimateTime, lReceiveSpeed}) {
        label->clear();
    }
    lFileName->setToolTip({});
    lFileName->setAccessibleName({});
    ShowPanel(Mode == 2 ? Panel3 : Panel1);
}

void TfrmDownload::SetJobCaption() {
    setWindowTitle(
        Q(StrId::ProductName) +
        QStringLiteral(" (%1/%2)").arg(JobIndex + 1).arg(static_cast<qsizetype>(Jobs.size())));
}

const std::string& TfrmDownload::CurrentJob() const {
    static const std::string none;
    return JobIndex >= 0 && static_cast<std::size_t>(JobIndex) < Jobs.size()
               ? Jobs[static_cast<std::size_t>(JobIndex)]
               : none;
}

std::string TfrmDownload::OutputFolder() const {
    std::string folder = owner_.OutputFolderText();
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

void TfrmDownload::AddError(std::string line) {
    if (failedJobs_.insert(JobIndex).second) {
        Errors.push_back(std::move(line));
    }
}

QString TfrmDownload::Shown(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

void TfrmDownload::SetElidedText(QLabel* label, const std::string& text) {
    const QString whole = Shown(text);
    label->setText(label->fontMetrics().elidedText(whole, Qt::ElideMiddle, label->width()));
    label->setToolTip(whole);
    label->setAccessibleName(whole);
}

void TfrmDownload::FormShow() {
    ResetView();
    // A proxy setting that cannot be used is said first: every job goes without it.
    if (const std::string problem = SystemProxyProblem(); !problem.empty()) {
        Errors.push_back(problem);
    }
    if (Mode == 2) {
        StartConversion(CurrentJob());
        SetJobCaption();
    } else {
        platform::PostMessage(this, platform::WM_RESOLVE_PAGE);
    }
    CurrentBrowser = WebBrowser_1;
    CenterWindow();
}

void TfrmDownload::Advance() {
    ++JobIndex;
    if (static_cast<std::size_t>(JobIndex) >= Jobs.size()) {
        PostClose();
    } else {
        platform::PostMessage(this, platform::WM_RESOLVE_PAGE);
    }
}

void TfrmDownload::PostClose() {
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

void TfrmDownload::bStopClick() {
    if (CurrentBrowser != nullptr) {
        BlankBrowser(*CurrentBrowser);
    }
    if (!HttpCli1->URL.empty()) {
        Stopped = true;
        if (transfer_ != nullptr) {
            transfer_->Stop();  // every connection, not only the first
        }
        HttpCli1->Abort();
    }
    TConvertProcess& converter = owner_.Converter();
    if (converter.Running) {
        converter.Stop(0);
    }
    ModalResult = platform::mrAbort;
}

void TfrmDownload::EndRun() {
    quiet_ = true;
    bStopClick();
}

void TfrmDownload::FormClose() {
    closed_ = true;
    // A run that ends behind another window tells the desktop, before its error box waits.
    if (!quiet_ && !isActiveWindow()) {
        platform::DesktopNotify(
            RunEndNotification(TallyRun(JobIndex, Jobs.size(), failedJobs_.size())));
    }
    std::string joined;
    for (const std::string& line : Errors) {
        joined += line;
        joined += "\r\n";
    }
    if (!joined.empty() && !quiet_) {
        platform::Dialogs::Current().MessageBox(
            this, {joined, LoadStr(StrId::ProductName), platform::MsgIcon::Information,
                   platform::MsgButtons::Ok});
    }
    Jobs.clear();
    TConvertProcess& converter = owner_.Converter();
    if (converter.Running) {
        converter.Stop(0);
    }
}

void TfrmDownload::keyPressEvent(QKeyEvent* event) {
    // Escape is the Stop of every stage, as it is the way out of any dialog.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        bStopClick();
        return;
    }
    platform::TForm::keyPressEvent(event);
}

bool TfrmDownload::event(QEvent* e) {
    const int type = static_cast<int>(e->type());
    const bool stage = type == platform::WM_RESOLVE_PAGE || type == platform::WM_DOWNLOAD_FILE ||
                       type == platform::WM_CONVERT_FILE || type == platform::WM_CONVERT_STATUS;
    if (!stage) {
        return platform::TForm::event(e);
    }
    // A stage message that arrives once Stop or a close has ended the run, or once the window
    // has closed, belongs to a run that is over; its record is freed with it.
    std::unique_ptr<TProcessInfo> info;
    if (type == platform::WM_CONVERT_STATUS) {
        info = static_cast<ConvertStatusEvent*>(e)->TakeInfo();
    }
    if (closed_ || ModalResult != platform::mrNone) {
        return true;
    }
    switch (type) {
        case platform::WM_RESOLVE_PAGE:
            WMResolvePage();
            break;
        case platform::WM_DOWNLOAD_FILE:
            WMDownloadFile();
            break;
        case platform::WM_CONVERT_FILE:
            WMConvertFile();
            break;
        default:
            if (info) {
                WMConvertStatus(std::move(info));
            }
            break;
    }
    return true;
}

void TfrmDownload::SetTransferMax(std::int64_t max) {
    transferMax_ = max;
    SetTransferPosition(transferPosition_);
}

void TfrmDownload::SetTransferPosition(std::int64_t position) {
    transferPosition_ = position;
    if (transferMax_ < 0) {
        suiProgressBar1->setRange(0, 0);
        return;
    }
    if (transferMax_ == 0) {
        // An empty file is whole as soon as it has begun; 0..0 would read as activity.
        suiProgressBar1->setRange(0, 1);
        suiProgressBar1->setValue(1);
        return;
    }
    // The bar counts in ints; files past 2 GiB are shown in coarser steps.
    int shift = 0;
    while ((transferMax_ >> shift) > INT_MAX) {
        ++shift;
    }
    const auto max = static_cast<int>(transferMax_ >> shift);
    if (suiProgressBar1->maximum() != max) {
        suiProgressBar1->setRange(0, max);
    }
    suiProgressBar1->setValue(static_cast<int>(std::min(position, transferMax_) >> shift));
}
