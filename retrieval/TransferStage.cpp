// The transfer stage: fetch the resolved video file into the output folder with the window's
// HTTP client, in the chosen quality, showing size, progress, speed and time remaining.

#include <QLabel>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/Global.h"
#include "common/Proxy.h"
#include "common/StringTable.h"
#include "http/HttpProt.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Tick.h"
#include "retrieval/Download.h"
#include "retrieval/FileTransfer.h"
#include "retrieval/TransferProgress.h"

namespace {

constexpr std::uint32_t kSampleMs = 2000;
constexpr std::uint32_t kRefreshMs = 40;

std::string ReconnectingText(int attempt, int max) {
    std::string text = LoadStr(StrId::Reconnecting);
    text.replace(text.find("%1"), 2, std::to_string(attempt));
    text.replace(text.find("%2"), 2, std::to_string(max));
    return text;
}

}  // namespace

void TfrmDownload::WMDownloadFile() {
    transferred_ = false;
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
    const std::string shown = transfer::ShownReason(reason);
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

    // Quality suffixes and the extension they bring are the served sites' alone.
    const int quality = otherSite_ ? transfer::kQualityNormal : owner_.DownloadQuality();
    DownloadPath = OutputFolder() + CleanFileName(eFileName);
    if (quality > transfer::kQualityNormal) {
        DownloadPath = transfer::ReplaceExtension(DownloadPath, ".mp4");
    }
    if (!MayWrite(DownloadPath)) {
        return true;
    }
    // Stop takes an address here as the sign that a transfer may be under way.
    std::string url = transfer::QualityUrl(quality, eDownloadUrl, HDAvailable);
    HttpCli1->URL = url;

    TFileTransfer::Settings settings;
    settings.connections = owner_.TransferConnections();
    TFileTransfer::Result result;
    for (;;) {
        const std::string caption =
            LoadStr(StrId::Downloading) + transfer::FileNamePart(DownloadPath) + " ...";
        SetElidedText(lFileName, caption);
        // The total shown is this file's own, never that of the file before.
        lengthKnown_ = false;
        TotalSizeText.clear();
        SetTransferMax(kUnknownLength);
        std::int64_t received = 0;
        {
            TFileTransfer file(*HttpCli1, url, DownloadPath, settings);
            file.OnLength = [this] { HttpCli1HeaderData(); };
            file.OnData = [this] { HttpCli1DocData(); };
            file.OnReconnect = [this, caption](int attempt, int max) {
                SetElidedText(lFileName, attempt == 0 ? caption : ReconnectingText(attempt, max));
            };
            transfer_ = &file;
            try {
                result = file.Run();
            } catch (...) {
                transfer_ = nullptr;
                throw;
            }
            transfer_ = nullptr;
            received = file.Received();
        }
        if (received > 0) {
            ShowReceived(received);
        }
        if (result.outcome == TFileTransfer::Outcome::Done && !lengthKnown_) {
            SetTransferMax(received);  // the whole file, now that its size is known
        }
        if (Stopped || result.outcome == TFileTransfer::Outcome::Stopped) {
            return !Stopped;
        }
        if (result.outcome != TFileTransfer::Outcome::Failed || quality != transfer::kQualityBest ||
            url == eDownloadUrl) {
            break;
        }
        // Best Available: the address without a quality suffix, stored as the site's FLV. A
        // file of that name is the user's until they say otherwise.
        url = eDownloadUrl;
        HttpCli1->URL = url;
        DownloadPath = transfer::ReplaceExtension(DownloadPath, ".flv");
        if (!MayWrite(DownloadPath)) {
            return true;
        }
    }

    // A failed transfer never passes for a finished one, and never touches the user's file.
    using Outcome = TFileTransfer::Outcome;
    switch (result.outcome) {
        case Outcome::Done:
            transferred_ = true;
            break;
        case Outcome::Stopped:
            break;
        case Outcome::CreateFailed:
            AddError(JobLine("Cannot create ", DownloadPath, result.reason));
            break;
        case Outcome::WriteFailed:
            AddError(JobLine("Cannot write ", DownloadPath, result.reason));
            break;
        case Outcome::Failed: {
            std::string reason = result.reason;
            if (result.status == 407) {
                const bool secure = HttpCli1->CurrentProtocol() == "https";
                reason += ": " +
                          ProxyAuthenticationText(secure ? !HttpCli1->HttpsProxyUsername.empty() ||
                                                               !HttpCli1->HttpsProxyPassword.empty()
                                                         : !HttpCli1->ProxyUsername.empty() ||
                                                               !HttpCli1->ProxyPassword.empty(),
                                                  secure ? "https_proxy" : "http_proxy");
            }
            AddError(JobLine("Download failed: ", DownloadPath, reason));
            break;
        }
        case Outcome::Incomplete:
            AddError(JobLine("Download incomplete: ", DownloadPath, {}));
            break;
    }
    return true;
}

void TfrmDownload::HttpCli1HeaderData() {
    if (transfer_ == nullptr) {
        return;
    }
    const std::int64_t length = transfer_->Length();
    lengthKnown_ = length >= 0;
    SetTransferMax(lengthKnown_ ? length : kUnknownLength);
    TotalSizeText = lengthKnown_ ? FormatSizeKB(length) + LoadStr(StrId::KB) : std::string();
}

void TfrmDownload::ShowReceived(std::int64_t received) {
    lReceiveData->setText(Shown(transfer::ReceivedText(received, TotalSizeText)));
    SetTransferPosition(received);
    shownTick_ = platform::GetTickCount();
}

void TfrmDownload::HttpCli1DocData() {
    if (transfer_ == nullptr) {
        return;
    }
    const std::int64_t received = transfer_->Received();
    // Blocks arrive by the thousand a second on a fast link; drawing each would cost more than
    // receiving it. The figures are shown at most every kRefreshMs, and always the last one.
    if (platform::GetTickCount() - shownTick_ >= kRefreshMs || received == transferMax_) {
        ShowReceived(received);
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
