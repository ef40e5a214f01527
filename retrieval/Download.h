#pragma once

// TfrmDownload: the modal progress window of one run. It works the jobs one by one by posting
// itself one message per stage: WM_RESOLVE_PAGE loads and reads the video page,
// WM_DOWNLOAD_FILE transfers the video file, WM_CONVERT_FILE starts the converter, whose
// watcher reports back with WM_CONVERT_STATUS. Every stage runs on the user-interface thread;
// the long waits inside them dispatch messages themselves, so Stop, paints and clipboard
// notices are handled there and every handler here must expect to be re-entered.

#include <QString>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Form.h"
#include "platform/Tick.h"

class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
class TConvertProcess;
class TFileTransfer;
class THttpCli;
struct TProcessInfo;

namespace platform {
class BrowserSession;
class TWebBrowser;
}  // namespace platform

// What a run reads from the window that started it, at the moment of use.
class TDownloadOwner {
public:
    virtual ~TDownloadOwner() = default;
    // The text of the output folder field, as it stands now.
    virtual std::string OutputFolderText() const = 0;
    // 0 Normal, 1 HQ, 2 HD, 3 Best Available.
    virtual int DownloadQuality() const = 0;
    // The program's one converter runner.
    virtual TConvertProcess& Converter() = 0;
    // The window the run's window is centred on and owned by.
    virtual QWidget* OwnerWindow() = 0;
    // How many connections one file may be fetched over at once.
    virtual int TransferConnections() const { return 4; }
};

class TfrmDownload : public platform::TForm {
    Q_OBJECT
public:
    TfrmDownload(TDownloadOwner& owner, const std::vector<std::string>& jobs);
    ~TfrmDownload() override;

    // Members of the run, in the order the window has always had them.
    std::vector<std::string> Jobs;
    std::vector<std::string> Errors;
    std::string TotalSizeText;
    std::uint32_t SampleTick = 0;
    std::uint32_t SampleBytes = 0;
    platform::TWebBrowser* CurrentBrowser = nullptr;
    std::int32_t Mode = 0;
    std::string OutputExt;
    std::string ConvertParams;
    std::int32_t JobIndex = 0;
    bool HDAvailable = false;
    bool Stopped = false;
    std::string DownloadPath;

    // Components
    std::unique_ptr<platform::BrowserSession> BrowserSession;
    platform::TWebBrowser* WebBrowser_1 = nullptr;
    platform::TWebBrowser* WebBrowser_2 = nullptr;
    std::string eFileName = "get_video";
    std::string eDownloadUrl;
    std::unique_ptr<THttpCli> HttpCli1;

    QWidget* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lUrl = nullptr;
    QPushButton* bStop = nullptr;

    QWidget* Panel2 = nullptr;
    QLabel* lFileName = nullptr;
    QProgressBar* suiProgressBar1 = nullptr;
    QGroupBox* gbDetails = nullptr;
    QLabel* lReceiveData = nullptr;
    QLabel* lEstimateTime = nullptr;
    QLabel* lReceiveSpeed = nullptr;
    QPushButton* suiButton1 = nullptr;

    QWidget* Panel3 = nullptr;
    QGroupBox* gbConverting = nullptr;
    QLabel* lConvertName = nullptr;
    QProgressBar* suiProgressBar2 = nullptr;
    QLabel* lTimeElapsed = nullptr;
    QLabel* lTimeEstimated = nullptr;
    QPushButton* suiButton2 = nullptr;

    // Handlers
    void bStopClick();
    // Ends the run as Stop does, with no box at its close: the program is going.
    void EndRun();
    void WMResolvePage();
    void WMDownloadFile();
    void WMConvertFile();
    void WMConvertStatus(std::unique_ptr<TProcessInfo> info);
    void HttpCli1HeaderData();
    void HttpCli1DocData();

    // The page's HTML up to its first zero byte, as it stands now; valid until messages are
    // handled again. Empty while the browser has no document.
    std::string_view CapturePageHtml(platform::TWebBrowser& browser);
    void BlankBrowser(platform::TWebBrowser& browser);
    void StartConversion(const std::string& input);

    static constexpr const char* kCaptureFailed = "Except-error-tamberlo";
    // How long one attempt at a page is polled, and how long one poll pass waits for messages.
    static constexpr std::uint32_t kPollLimitMs = 30000;
    static constexpr int kPollWaitMs = 20;
    // The clock the page stage times its attempts by. A test may put in a faster one, so that
    // waiting out an attempt does not take half a minute.
    static inline std::uint32_t (*PageClock)() = platform::GetTickCount;

    // The progress bar of the transfer counts in bytes, whatever the size of the file.
    std::int64_t TransferMax() const { return transferMax_; }
    std::int64_t TransferPosition() const { return transferPosition_; }

protected:
    void FormShow() override;
    void FormClose() override;
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    void ResetView();
    void ShowPanel(QWidget* panel);
    void SetJobCaption();
    void Advance();
    void PostClose();
    const std::string& CurrentJob() const;
    std::string OutputFolder() const;
    void AddError(std::string line);
    // Shows text whole in the hint and as the label's name for assistive technology (what it
    // is stays its description), shortened in the middle to the label's width on screen.
    static void SetElidedText(QLabel* label, const std::string& text);
    // The system's bytes as a label shows them.
    static QString Shown(const std::string& bytes);
    // The page stage of an address of another site: the address itself when it answers with a
    // video file, else the file its page names.
    void ResolveOtherSite(const std::string& job);
    void SetTransferMax(std::int64_t max);
    void SetTransferPosition(std::int64_t position);
    // The received size on the label and the bar.
    void ShowReceived(std::int64_t received);
    // The transfer of a resolved job, its fallback and its error line; false when Stop ended it.
    bool Transfer();
    // False when a file is at path and the user declines to overwrite it.
    bool MayWrite(const std::string& path);
    // "WHAT NAME from PAGE (REASON)": an error line of the current job, in the terms the user
    // knows it by.
    std::string JobLine(const std::string& what, const std::string& path,
                        const std::string& reason) const;
    // A length the response has not told: the bar shows activity instead of a percentage.
    static constexpr std::int64_t kUnknownLength = -1;

    TDownloadOwner& owner_;
    // The file transfer under way, for Stop and the figures; null between transfers.
    TFileTransfer* transfer_ = nullptr;
    std::int64_t transferMax_ = 100;
    std::int64_t transferPosition_ = 0;
    // This response's header named its length; without one no time remaining is shown.
    bool lengthKnown_ = false;
    // When the received size was last drawn.
    std::uint32_t shownTick_ = 0;
    // The output file of the conversion under way, checked when the converter reports its end.
    std::string conversionOutput_;
    // The current job's file was written whole by its transfer (not declined, not failed).
    bool transferred_ = false;
    // Why the last page load failed, " (503 Service Unavailable)", for its error line.
    std::string pageFailure_;
    // Jobs that have their error line: one line tells a job's failure, the first one.
    std::set<std::int32_t> failedJobs_;
    bool closed_ = false;
    bool quiet_ = false;
    // The current job is of another site: its file is fetched as it is, without the quality
    // suffixes and extension changes that only the served sites know.
    bool otherSite_ = false;
};
