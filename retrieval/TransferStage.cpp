// The transfer stage: fetch the resolved video file into the output folder with the window's
// HTTP client, in the chosen quality, showing size, progress, speed and time remaining.

#include <QLabel>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/Global.h"
#include "common/StringTable.h"
#include "http/HttpProt.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Tick.h"
#include "retrieval/Download.h"
#include "retrieval/TransferProgress.h"

namespace {

constexpr std::uint32_t kSampleMs = 2000;
constexpr std::uint32_t kRefreshMs = 40;

// The file a video is received into. Only the body of a successful response is the video: the
// page that comes with an error status never goes into the file. The first failed write ends
// the request, since every later block would be lost as well.
class VideoFile final : public THttpStream {
public:
    VideoFile(std::unique_ptr<THttpFileStream> file, THttpCli& client, QObject* context)
        : file_(std::move(file)), client_(client), context_(context) {}

    bool Write(const char* data, std::size_t len) override {
        const int status = client_.StatusCode();
        if (status < 200 || status > 299) {
            return true;
        }
        if (file_->Write(data, len)) {
            return true;
        }
        if (!abortPosted_) {
            abortPosted_ = true;
            // Not from inside the client's own reception: once it has returned. A request
            // that has ended by then, with this file gone, is left alone.
            QMetaObject::invokeMethod(
                context_,
                [client = &client_, alive = std::weak_ptr<bool>(alive_)] {
                    if (alive.lock()) {
                        client->Abort();
                    }
                },
                Qt::QueuedConnection);
        }
        return false;
    }
    std::int64_t Read(char* data, std::size_t len) override { return file_->Read(data, len); }
    std::int64_t Size() const override { return file_->Size(); }
    std::int64_t Position() const override { return file_->Position(); }
    bool Seek(std::int64_t position) override { return file_->Seek(position); }
    bool SetSize(std::int64_t size) override { return file_->SetSize(size); }
    std::string ErrorText() const override { return file_->ErrorText(); }
    int ErrorNumber() const override { return file_->ErrorNumber(); }

private:
    std::unique_ptr<THttpFileStream> file_;
    THttpCli& client_;
    QObject* context_;
    bool abortPosted_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

void TfrmDownload::WMDownloadFile() {
    if (eDownloadUrl.empty()) {
        AddError(LoadStr(StrId::UnableGetHtmlFrom) + CurrentJob() + pageFailure_);
    } else if (!Transfer()) {
        return;  // Stop is closing the window
    }
    if (Mode == 0) {
        Advance();
    } else {
        platform::PostMessage(this, platform::WM_CONVERT_FILE);
    }
}

bool TfrmDownload::MayWrite(const std::string& path) {
    if (!platform::FileExists(path)) {
        return true;
    }
    platform::MessageBoxRequest question{
        path + LoadStr(StrId::HasExistedOverwrite), LoadStr(StrId::ProductName),
        platform::MsgIcon::Information, platform::MsgButtons::YesNo, true};
    return platform::Dialogs::Current().MessageBox(this, question) == platform::MsgAnswer::Yes;
}

std::string TfrmDownload::JobLine(const std::string& what, const std::string& path,
                                  const std::string& reason) const {
    std::string line = what + transfer::FileNamePart(path);
    if (Mode != 2) {
        line += " from " + CurrentJob();
    }
    // A reason may carry a server's bytes (its reason phrase): no line break or other control
    // byte of theirs may split the line or stand at its end.
    std::string shown;
    for (const char c : reason) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 32 && code != 127) {
            shown.push_back(c);
        } else if (!shown.empty() && shown.back() != ' ') {
            shown.push_back(' ');
        }
    }
    while (!shown.empty() && shown.back() == ' ') {
        shown.pop_back();
    }
    if (!shown.empty()) {
        line += " (" + shown + ")";
    }
    return line;
}

bool TfrmDownload::Transfer() {
    ShowPanel(Panel2);
    CenterWindow();
    SampleBytes = 0;
    SampleTick = 0;

    const int quality = owner_.DownloadQuality();
    DownloadPath = OutputFolder() + CleanFileName(eFileName);
    if (quality > transfer::kQualityNormal) {
        DownloadPath = transfer::ReplaceExtension(DownloadPath, ".mp4");
    }
    if (!MayWrite(DownloadPath)) {
        return true;
    }
    if (ProxyEnabled()) {
        // Hosts named in no_proxy are fetched directly; the credentials go to the proxy alone.
        const TProxyRoute route = SystemProxyRoute(eDownloadUrl);
        HttpCli1->Proxy = route.Host;
        HttpCli1->ProxyPort = std::to_string(route.Port);
        HttpCli1->ProxyUsername = route.User;
        HttpCli1->ProxyPassword = route.Password;
    }
    // https addresses (the file's own, or one it relocates to) go through https_proxy alone.
    const TProxyRoute secure = SystemHttpsProxyRoute(eDownloadUrl);
    HttpCli1->HttpsProxy = secure.Host;
    HttpCli1->HttpsProxyPort = std::to_string(secure.Port);
    HttpCli1->HttpsProxyUsername = secure.User;
    HttpCli1->HttpsProxyPassword = secure.Password;
    HttpCli1->URL = transfer::QualityUrl(quality, eDownloadUrl, HDAvailable);

    std::string httpError;
    std::string writeError;
    for (;;) {
        httpError.clear();
        const bool existed = platform::FileExists(DownloadPath);
        auto created = THttpFileStream::Create(DownloadPath, nullptr);
        if (!created) {
            const int reason = errno;
            AddError(JobLine("Cannot create ", DownloadPath, transfer::PlainReason(reason)));
            return true;
        }
        VideoFile file(std::move(created), *HttpCli1, this);
        HttpCli1->RcvdStream = &file;
        const std::string caption =
            LoadStr(StrId::Downloading) + transfer::FileNamePart(DownloadPath) + " ...";
        SetElidedText(lFileName, caption);
        try {
            HttpCli1->Get();
        } catch (const EHttpException& e) {
            httpError = e.what();
            if (HttpCli1->RequestDoneError() == 0) {
                httpError = std::to_string(e.ErrorCode()) + " " + httpError;
            }
        } catch (...) {
            HttpCli1->RcvdStream = nullptr;
            throw;
        }
        HttpCli1->RcvdStream = nullptr;
        if (!HttpCli1->RcvdStreamError().empty()) {
            writeError = transfer::PlainReason(file.ErrorNumber());
        }
        const int status = HttpCli1->StatusCode();
        const bool whole = httpError.empty() && writeError.empty() && !HttpCli1->BodyIncomplete() &&
                           status >= 200 && status <= 299;
        // A file made for this transfer that got no byte of the video is not left behind.
        if (!whole && !existed && file.Size() == 0) {
            std::remove(DownloadPath.c_str());
        }
        if (HttpCli1->RcvdCount() > 0) {
            ShowReceived();
        }
        if (whole && !lengthKnown_) {
            SetTransferMax(HttpCli1->RcvdCount());  // the whole file, now that its size is known
        }
        if (Stopped) {
            return false;
        }
        if (httpError.empty() || !writeError.empty() || quality != transfer::kQualityBest ||
            HttpCli1->URL == eDownloadUrl) {
            break;
        }
        // Best Available: the address without a quality suffix, stored as the site's FLV. A
        // file of that name is the user's until they say otherwise.
        HttpCli1->URL = eDownloadUrl;
        DownloadPath = transfer::ReplaceExtension(DownloadPath, ".flv");
        if (!MayWrite(DownloadPath)) {
            return true;
        }
    }

    // A failed transfer keeps what it wrote, but never passes for a finished one.
    if (!writeError.empty()) {
        AddError(JobLine("Cannot write ", DownloadPath, writeError));
    } else if (!httpError.empty() || HttpCli1->StatusCode() < 200 || HttpCli1->StatusCode() > 299) {
        std::string reason = !httpError.empty() ? httpError
                                                : std::to_string(HttpCli1->StatusCode()) + " " +
                                                      HttpCli1->ReasonPhrase();
        if (HttpCli1->StatusCode() == 407) {
            const bool secure = HttpCli1->CurrentProtocol() == "https";
            reason += ": " + ProxyAuthenticationText(secure ? !HttpCli1->HttpsProxyUsername.empty()
                                                            : !HttpCli1->ProxyUsername.empty(),
                                                     secure ? "https_proxy" : "http_proxy");
        }
        // A relocation refused at the limit leaves the redirect's own status, which alone
        // reads as if the server had failed.
        if (HttpCli1->LocationChangeCurCount() > HttpCli1->LocationChangeMaxCount &&
            HttpCli1->StatusCode() >= 300 && HttpCli1->StatusCode() <= 399) {
            reason = LoadStr(StrId::TooManyRelocations) + ": " + reason;
        }
        AddError(JobLine("Download failed: ", DownloadPath, reason));
    } else if (HttpCli1->BodyIncomplete()) {
        AddError(JobLine("Download incomplete: ", DownloadPath, {}));
    }
    return true;
}

void TfrmDownload::HttpCli1HeaderData() {
    const std::vector<std::string>& lines = HttpCli1->RcvdHeader();
    if (lines.size() == 1) {
        // A new response: the total is its own, never that of a relocation before it.
        lengthKnown_ = false;
        TotalSizeText.clear();
        SetTransferMax(kUnknownLength);
    }
    const int status = HttpCli1->StatusCode();
    if (lengthKnown_ || status < 200 || status > 299) {
        return;  // only the response that carries the file tells its size
    }
    if (const auto length = transfer::ContentLengthOf(lines)) {
        lengthKnown_ = true;
        SetTransferMax(*length);
        TotalSizeText = FormatSizeKB(*length) + LoadStr(StrId::KB);
    }
}

void TfrmDownload::ShowReceived() {
    const std::int64_t received = HttpCli1->RcvdCount();
    lReceiveData->setText(Shown(transfer::ReceivedText(received, TotalSizeText)));
    SetTransferPosition(received);
    shownTick_ = platform::GetTickCount();
}

void TfrmDownload::HttpCli1DocData() {
    const std::int64_t received = HttpCli1->RcvdCount();
    // Blocks arrive by the thousand a second on a fast link; drawing each would cost more than
    // receiving it. The figures are shown at most every kRefreshMs, and always the last one.
    if (platform::GetTickCount() - shownTick_ >= kRefreshMs || received == transferMax_) {
        ShowReceived();
    }
    if (SampleTick == 0) {
        SampleTick = platform::GetTickCount();
    }
    const std::uint32_t elapsed = platform::GetTickCount() - SampleTick;
    if (elapsed < kSampleMs) {
        return;
    }
    // The sample counts in 32 bits, as its start does; the difference is right across a wrap.
    const std::uint32_t sampled = static_cast<std::uint32_t>(received) - SampleBytes;
    if (sampled == 0) {
        return;  // nothing new: no rate to tell, and nothing to divide by
    }
    lReceiveSpeed->setText(Shown(transfer::SpeedText(sampled, elapsed)));
    const std::uint32_t now = platform::GetTickCount() - SampleTick;
    const auto seconds =
        transfer::SecondsRemaining(transferMax_, received, received - sampled, now);
    lEstimateTime->setText(lengthKnown_ && seconds ? Shown(transfer::ClockText(*seconds))
                                                   : QString());
    SampleBytes = static_cast<std::uint32_t>(received);
    SampleTick = platform::GetTickCount();
}
