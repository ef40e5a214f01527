// The transfer stage: fetch the resolved video file into the output folder with the window's
// HTTP client, in the chosen quality, showing size, progress, speed and time remaining.

#include <QLabel>

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

}  // namespace

void TfrmDownload::WMDownloadFile() {
    if (eDownloadUrl.empty()) {
        AddError(LoadStr(StrId::UnableGetHtmlFrom) + CurrentJob());
    } else if (!Transfer()) {
        return;  // Stop is closing the window
    }
    if (Mode == 0) {
        Advance();
    } else {
        platform::PostMessage(this, platform::WM_CONVERT_FILE);
    }
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
    if (platform::FileExists(DownloadPath)) {
        platform::MessageBoxRequest question{
            DownloadPath + LoadStr(StrId::HasExistedOverwrite), LoadStr(StrId::ProductName),
            platform::MsgIcon::Information, platform::MsgButtons::YesNo, true};
        if (platform::Dialogs::Current().MessageBox(this, question) != platform::MsgAnswer::Yes) {
            return true;
        }
    }
    if (ProxyEnabled()) {
        // Hosts named in no_proxy are fetched directly; the credentials go to the proxy alone.
        const TProxyRoute route = SystemProxyRoute(eDownloadUrl);
        HttpCli1->Proxy = route.Host;
        HttpCli1->ProxyPort = std::to_string(route.Port);
        HttpCli1->ProxyUsername = route.User;
        HttpCli1->ProxyPassword = route.Password;
    }
    HttpCli1->URL = transfer::QualityUrl(quality, eDownloadUrl, HDAvailable);

    std::string httpError;
    for (;;) {
        httpError.clear();
        std::string createError;
        auto file = THttpFileStream::Create(DownloadPath, &createError);
        if (!file) {
            AddError(createError);
            return true;
        }
        HttpCli1->RcvdStream = file.get();
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
        file.reset();
        if (HttpCli1->RcvdCount() > 0) {
            ShowReceived();
        }
        if (Stopped) {
            return false;
        }
        if (httpError.empty() || quality != transfer::kQualityBest ||
            HttpCli1->URL == eDownloadUrl) {
            break;
        }
        // Best Available: the address without a quality suffix, stored as the site's FLV.
        HttpCli1->URL = eDownloadUrl;
        DownloadPath = transfer::ReplaceExtension(DownloadPath, ".flv");
    }

    // A failed transfer keeps what it wrote, but never passes for a finished one.
    if (!httpError.empty()) {
        AddError("Download failed: " + HttpCli1->URL + " (" + httpError + ")");
    } else if (!HttpCli1->RcvdStreamError().empty()) {
        AddError("Cannot write " + DownloadPath + " (" + HttpCli1->RcvdStreamError() + ")");
    } else if (HttpCli1->BodyIncomplete()) {
        AddError("Download incomplete: " + DownloadPath);
    } else if (HttpCli1->StatusCode() < 200 || HttpCli1->StatusCode() > 299) {
        AddError("Download failed: " + HttpCli1->URL + " (" +
                 std::to_string(HttpCli1->StatusCode()) + " " + HttpCli1->ReasonPhrase() + ")");
    }
    return true;
}

void TfrmDownload::HttpCli1HeaderData() {
    const auto length = transfer::ContentLengthOf(HttpCli1->RcvdHeader());
    lengthKnown_ = length.has_value();
    if (length) {
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
