// The page stage: load the job's page in the embedded browser, capture its HTML on every pass
// and let the page parser find the video file in it, for at most two attempts of 30 seconds.

#include <QLabel>

#include "common/StringTable.h"
#include "common/VideoUrl.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "platform/Tick.h"
#include "platform/WebBrowser.h"
#include "retrieval/Download.h"
#include "retrieval/TransferProgress.h"
#include "retrieval/GenericPage.h"
#include "retrieval/PageParser.h"

namespace {

constexpr int kAttempts = 2;

}  // namespace

std::string_view TfrmDownload::CapturePageHtml(platform::TWebBrowser& browser) {
    if (!browser.HasDocument()) {
        return {};
    }
    // A view, not a copy: a page is read on every pass and may be megabytes long.
    const std::string_view html = browser.DocumentHtml();
    return html.substr(0, html.find('\0'));
}

void TfrmDownload::BlankBrowser(platform::TWebBrowser& browser) {
    browser.Navigate2("about:blank");
    browser.Offline = true;
}

void TfrmDownload::ResolveOtherSite(const std::string& job) {
    platform::TWebBrowser& browser = *CurrentBrowser;
    // Asked first is the address itself: a video file goes to the transfer as it is, without
    // its body ever being loaded as a page.
    browser.IsFileResponse = [](const std::string& type, const std::string& url) {
        return IsVideoResponse(type, url);
    };
    struct Unhook {
        platform::TWebBrowser& browser;
        ~Unhook() { browser.IsFileResponse = nullptr; }
    } unhook{browser};
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        browser.Navigate(job);
        // A page is read whole, however long it takes, as long as its bytes keep coming; half
        // a minute without any ends the attempt.
        std::uint32_t lastNews = PageClock();
        std::size_t seen = 0;
        bool late = false;
        while (browser.ReadyState() < platform::TWebBrowser::READYSTATE_COMPLETE) {
            platform::WaitForMessages(kPollWaitMs);
            if (ModalResult != platform::mrNone) {
                return;
            }
            if (browser.DocumentHtml().size() != seen) {
                seen = browser.DocumentHtml().size();
                lastNews = PageClock();
            } else if (PageClock() - lastNews > kPollLimitMs) {
                late = true;
                break;
            }
        }
        if (!browser.FileUrl().empty()) {
            eDownloadUrl = browser.FileUrl();
            eFileName = VideoFileName({}, eDownloadUrl,
                                      VideoExtensionFor(eDownloadUrl, browser.ContentType()));
            BlankBrowser(browser);
            platform::PostMessage(this, platform::WM_DOWNLOAD_FILE);
            return;
        }
        std::string failure = browser.LoadError();
        if (failure.empty() && late) {
            failure = LoadStr(browser.HasDocument() ? StrId::PageUnfinishedInTime
                                                    : StrId::NoAnswerInTime);
        }
        if (failure.empty()) {
            const FoundVideo found = ResolveVideoPage(CapturePageHtml(browser), browser.FinalUrl(),
                                                      owner_.DownloadQuality());
            BlankBrowser(browser);
            if (found.kind == FoundVideo::Kind::File) {
                eDownloadUrl = found.url;
                eFileName = found.fileName;
                platform::PostMessage(this, platform::WM_DOWNLOAD_FILE);
            } else {
                // Nothing to fetch and nothing to convert: the job ends with its line.
                AddError(LoadStr(found.kind == FoundVideo::Kind::NoVideo ? StrId::NoVideoFoundOn
                                                                         : StrId::ManifestOnlyOn) +
                         job);
                Advance();
            }
            return;
        }
        pageFailure_ = " (" + transfer::ShownReason(failure) + ")";
        BlankBrowser(browser);
    }
    eFileName = "get_video.flv";
    platform::PostMessage(this, platform::WM_DOWNLOAD_FILE);
}

void TfrmDownload::WMResolvePage() {
    try {
        ResetView();
        SetJobCaption();
        for (QLabel* label : {lFileName, lReceiveData, lEstimateTime, lReceiveSpeed}) {
            label->clear();
        }
        HDAvailable = false;
        pageFailure_.clear();
        // Stop ends the page stage, and so does a close: a page may never answer, and the
        // message this stage would post is dropped once the run is ending anyway.
        if (ModalResult != platform::mrNone) {
            return;
        }
        const std::string job = CurrentJob();
        SetElidedText(lUrl, job);
        otherSite_ = IsOtherSiteAddress(job);
        if (otherSite_) {
            ResolveOtherSite(job);
            return;
        }
        if (!IsVideoUrl(job)) {
            Advance();
            return;
        }
        for (int attempt = 1; attempt <= kAttempts; ++attempt) {
            int switches = 0;
            bool navigate = true;
            bool late = false;
            while (navigate) {
                navigate = false;
                CurrentBrowser->Navigate(job);
                // The attempt's time runs from its navigation, whatever the server does: one
                // that takes the request and never sends a byte ends it as surely as a page
                // that never completes.
                const std::uint32_t navigated = PageClock();
                auto timeIsUp = [&] { return PageClock() - navigated > kPollLimitMs; };
                while (CurrentBrowser->ReadyState() <
                           platform::TWebBrowser::READYSTATE_INTERACTIVE &&
                       !late) {
                    platform::WaitForMessages(kPollWaitMs);
                    if (ModalResult != platform::mrNone) {
                        return;
                    }
                    late = timeIsUp();
                }
                while (!late) {
                    if (ModalResult != platform::mrNone) {
                        return;
                    }
                    if (timeIsUp()) {
                        late = true;
                        break;
                    }
                    platform::ProcessMessages();
                    if (ModalResult != platform::mrNone) {
                        return;
                    }
                    // A document that was complete when captured never changes again.
                    const bool complete =
                        CurrentBrowser->ReadyState() == platform::TWebBrowser::READYSTATE_COMPLETE;
                    const std::string_view page = CapturePageHtml(*CurrentBrowser);
                    if (page == kCaptureFailed) {
                        if (switches > 0) {
                            PostClose();
                            return;
                        }
                        BlankBrowser(*CurrentBrowser);
                        CurrentBrowser = WebBrowser_2;
                        ++switches;
                        navigate = true;
                        break;
                    }
                    PassResult pass = ParsePage(
                        page, job, {eFileName, eDownloadUrl, HDAvailable, Mode, JobIndex + 1});
                    eFileName = std::move(pass.state.eFileName);
                    eDownloadUrl = std::move(pass.state.eDownloadUrl);
                    HDAvailable = pass.state.HDAvailable;
                    Mode = pass.state.Mode;
                    if (pass.outcome == PassOutcome::StopRun) {
                        platform::Dialogs::Current().MessageBox(
                            this, {pass.message, LoadStr(StrId::ProductName),
                                   platform::MsgIcon::Information, platform::MsgButtons::Ok});
                        bStopClick();
                        return;
                    }
                    // Parsing the same complete document again cannot change its outcome: the
                    // attempt ends now, as it would after the whole poll time.
                    if (pass.outcome != PassOutcome::PollAgain || complete) {
                        break;
                    }
                    // A short wait before the next pass, not a spin: it ends as soon as
                    // anything arrives, more of the page included.
                    platform::WaitForMessages(kPollWaitMs);
                }
            }
            std::string failure = CurrentBrowser->LoadError();
            if (failure.empty() && late) {
                failure = LoadStr(CurrentBrowser->HasDocument() ? StrId::PageUnfinishedInTime
                                                                : StrId::NoAnswerInTime);
            }
            failure = transfer::ShownReason(failure);
            pageFailure_ = failure.empty() ? std::string() : " (" + failure + ")";
            BlankBrowser(*CurrentBrowser);
            if (!eDownloadUrl.empty()) {
                break;
            }
        }
        if (eFileName.empty()) {
            eFileName = "get_video.flv";
        }
        platform::PostMessage(this, platform::WM_DOWNLOAD_FILE);
    } catch (...) {
        // An unexpected failure ends the stage; the window waits for Stop.
    }
}
