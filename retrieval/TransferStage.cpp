// The transfer stage: fetch the resolved video file into the output folder with the window's
// HTTP client, in the chosen quality, showing size, progress, speed and time remaining.

#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <algorithm>
#include <cerrno>
#include <cstring>
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

// The partial file a video is received into. Only the body of a successful response is the
// video: the page that comes with an error status never goes into the file. The first failed
// write ends the request, since every later block would be lost as well.
class VideoFile final : public THttpStream {
public:
    VideoFile(platform::NewFile& file, THttpCli& client, QObject* context)
        : fd_(file.Fd()), client_(client), context_(context) {}

    bool Write(const char* data, std::size_t len) override {
        const int status = client_.StatusCode();
        if (status < 200 || status > 299) {
            return true;
        }
        if (WriteAll(data, len)) {
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
    std::int64_t Read(char* data, std::size_t len) override {
        const ssize_t n = ::pread(fd_, data, len, position_);
        if (n > 0) {
            position_ += n;
        }
        return n;
    }
    std::int64_t Size() const override {
        struct stat info {};
        return ::fstat(fd_, &info) == 0 ? info.st_size : 0;
    }
    std::int64_t Position() const override { return position_; }
    bool Seek(std::int64_t position) override {
        position_ = position;
        return position >= 0;
    }
    bool SetSize(std::int64_t size) override {
        if (::ftruncate(fd_, size) != 0) {
            return Fail();
        }
        position_ = std::min(position_, size);
        return true;
    }

private:
    bool WriteAll(const char* data, std::size_t len) {
        while (len > 0) {
            const ssize_t n = ::pwrite(fd_, data, len, position_);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (n == 0) {
                    errno = ENOSPC;
                }
                return Fail();
            }
            data += n;
            len -= static_cast<std::size_t>(n);
            position_ += n;
        }
        return true;
    }
    bool Fail() {
        errorNumber_ = errno;
        error_ = std::string("Write error: ") + std::strerror(errno);
        return false;
    }

    int fd_;
    std::int64_t position_ = 0;
    THttpCli& client_;
    QObject* context_;
    bool abortPosted_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Why a file made for a job is not where it was made.
std::string PlaceReason(platform::NewFile::Place place) {
    return place == platform::NewFile::Place::FolderGone ? transfer::PlainReason(ENOENT)
                                                         : LoadStr(StrId::PartFileGone);
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
    if (!reason.empty()) {
        line += " (" + reason + ")";
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
    HttpCli1->URL = transfer::QualityUrl(quality, eDownloadUrl, HDAvailable);

    std::string httpError;
    std::string writeError;
    for (;;) {
        httpError.clear();
        // The video arrives in a file of its own making beside the final name, which it takes
        // only when whole: a link of that name is never written through, and the file the
        // user let go stays untouched until the new one is complete.
        const std::string name = transfer::FileNamePart(DownloadPath);
        if (struct stat info{}; lstat(DownloadPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            AddError(JobLine("Cannot create ", DownloadPath, transfer::PlainReason(EISDIR)));
            return true;
        }
        auto part =
            platform::NewFile::Create(FolderOf(DownloadPath), platform::PartFileName(name), true);
        if (!part) {
            const int reason = errno;
            AddError(JobLine("Cannot create ", DownloadPath, transfer::PlainReason(reason)));
            return true;
        }
        VideoFile file(*part, *HttpCli1, this);
        HttpCli1->RcvdStream = &file;
        const std::string caption = LoadStr(StrId::Downloading) + name + " ...";
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
        if (HttpCli1->RcvdCount() > 0) {
            ShowReceived();
        }
        if (whole && !lengthKnown_) {
            SetTransferMax(HttpCli1->RcvdCount());  // the whole file, now that its size is known
        }
        if (whole) {
            part->CloseFd();
            if (const auto place = part->CheckPlace(); place != platform::NewFile::Place::Kept) {
                AddError(JobLine("Cannot write ", DownloadPath, PlaceReason(place)));
            } else if (!part->CommitAs(name)) {
                const int reason = errno;
                AddError(JobLine("Cannot create ", DownloadPath, transfer::PlainReason(reason)));
            } else {
                transferred_ = true;
            }
            return !Stopped;
        }
        if (Stopped) {
            if (file.Size() > 0) {
                part->Keep();  // what has arrived is kept for a later run to continue
            }
            return false;
        }
        // Anything short of the whole file is removed with its part; the final name keeps what
        // it held.
        if (!writeError.empty() || quality != transfer::kQualityBest ||
            HttpCli1->URL == eDownloadUrl || httpError.empty()) {
            break;
        }
        // Best Available: the address without a quality suffix, stored as the site's FLV. A
        // file of that name is the user's until they say otherwise.
        part.reset();
        HttpCli1->URL = eDownloadUrl;
        DownloadPath = transfer::ReplaceExtension(DownloadPath, ".flv");
        if (!MayWrite(DownloadPath)) {
            return true;
        }
    }

    if (!writeError.empty()) {
        AddError(JobLine("Cannot write ", DownloadPath, writeError));
    } else if (!httpError.empty() || HttpCli1->StatusCode() < 200 || HttpCli1->StatusCode() > 299) {
        std::string reason = !httpError.empty() ? httpError
                                                : std::to_string(HttpCli1->StatusCode()) + " " +
                                                      HttpCli1->ReasonPhrase();
        if (HttpCli1->StatusCode() == 407) {
            reason += ": " + ProxyAuthenticationText(!HttpCli1->ProxyUsername.empty());
        }
        AddError(JobLine("Download failed: ", DownloadPath, reason));
    } else {
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
