#include "retrieval/FileTransfer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/Proxy.h"
#include "common/StringTable.h"
#include "common/Text.h"
#include "http/HttpProt.h"
#include "platform/Messages.h"
#include "platform/Tick.h"
#include "retrieval/TransferProgress.h"

using transfer::ByteRange;

namespace {

// How often the loop looks at stalls, waits and the record beside the part.
constexpr int kLoopWaitMs = 100;
constexpr std::uint32_t kMetaEveryMs = 2000;
// A record beside a part is a few lines; anything larger is not one of ours.
constexpr std::size_t kMaxMetaBytes = 64 * 1024;

// A status that tells of a passing trouble of the server, not of the file.
bool IsPassing(int status) {
    return status == 408 || status == 429 || status >= 500;
}

std::string ReadSmallFile(const std::string& path) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return {};
    }
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxMetaBytes) {
            return {};
        }
    }
    return out;
}

}  // namespace

// One connection: its client, the range it fetches and what became of its request.
struct TFileTransfer::Conn {
    std::unique_ptr<THttpCli> owned;
    THttpCli* cli = nullptr;
    std::unique_ptr<Sink> sink;
    bool busy = false;      // a request under way
    bool finished = false;  // its end was reported; the loop looks at it
    bool waiting = false;   // waits to continue after a cut
    std::uint32_t retryTick = 0;
    std::uint32_t retryDelayMs = 0;
    std::int64_t pos = 0;   // the next byte to write
    std::int64_t end = -1;  // where this connection's range ends; -1: the file's end, unknown
    std::int64_t responseEnd = -1;  // where the response under way ends by itself
    bool ranged = false;
    std::string rangeLine;
    std::string ifRange;
    bool accepted = false;  // the response carries the file's bytes for this range
    bool retired = false;   // the server refused this connection; it is not used again
    Why why = Why::None;
    std::uint32_t lastByteTick = 0;
    int hops = 0;              // relocations followed for the range under way
    bool tooManyHops = false;  // the last relocation was refused at the limit
};

// Where a connection's body goes: written in place in the part, never past its range.
class TFileTransfer::Sink final : public THttpStream {
public:
    Sink(TFileTransfer& owner, Conn& c) : owner_(owner), c_(c) {}
    bool Write(const char* data, std::size_t len) override {
        if (!c_.accepted || c_.why != Why::None) {
            return true;  // a relocation's or an error's body, or bytes after the range
        }
        std::int64_t n = static_cast<std::int64_t>(len);
        if (c_.end >= 0) {
            n = std::min(n, c_.end - c_.pos);
        }
        std::int64_t done = 0;
        while (done < n) {
            const ssize_t w = ::pwrite(owner_.fd_.get(), data + done,
                                       static_cast<std::size_t>(n - done), c_.pos + done);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                const int reason = w < 0 ? errno : ENOSPC;
                owner_.Written(c_, done);
                owner_.Fail(Outcome::WriteFailed, transfer::PlainReason(reason), 0, reason);
                return true;
            }
            done += w;
        }
        owner_.Written(c_, n);
        return true;
    }
    std::int64_t Read(char*, std::size_t) override { return -1; }
    // The client rewinds to this size after a relocation's body; nothing of it was written.
    std::int64_t Size() const override { return 0; }
    std::int64_t Position() const override { return 0; }
    bool Seek(std::int64_t) override { return true; }
    bool SetSize(std::int64_t) override { return true; }

private:
    TFileTransfer& owner_;
    Conn& c_;
};

TFileTransfer::TFileTransfer(THttpCli& first, std::string url, std::string path, Settings settings)
    : first_(first),
      url_(std::move(url)),
      path_(std::move(path)),
      part_(path_ + ".part"),
      metaPath_(path_ + ".part.meta"),
      settings_(settings) {
    savedHeaderData_ = first_.OnHeaderData;
    savedHeaderEnd_ = first_.OnHeaderEnd;
    savedDocData_ = first_.OnDocData;
    savedRequestDone_ = first_.OnRequestDone;
    savedBeforeHeaderSend_ = first_.OnBeforeHeaderSend;
    follow_ = first_.FollowRelocation;
    maxHops_ = first_.LocationChangeMaxCount;
    settings_.connections = std::clamp(settings_.connections, 1, 16);
    settings_.maxAttempts = std::max(1, settings_.maxAttempts);
}

TFileTransfer::~TFileTransfer() {
    *alive_ = false;
    for (auto& c : conns_) {
        if (c->busy && c->cli->State() != httpReady) {
            c->cli->Abort();
        }
    }
    first_.RcvdStream = nullptr;
    first_.OnHeaderData = savedHeaderData_;
    first_.OnHeaderEnd = savedHeaderEnd_;
    first_.OnDocData = savedDocData_;
    first_.OnRequestDone = savedRequestDone_;
    first_.OnBeforeHeaderSend = savedBeforeHeaderSend_;
    first_.FollowRelocation = follow_;
}

int TFileTransfer::OpenConnections() const {
    return static_cast<int>(
        std::count_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->busy; }));
}

void TFileTransfer::Stop() {
    if (!stopped_) {
        stopped_ = true;
        AbortAll(Why::Stopped);
    }
}

// --- Connections -------------------------------------------------------------------------------

TFileTransfer::Conn& TFileTransfer::NewConn() {
    auto c = std::make_unique<Conn>();
    if (conns_.empty()) {
        c->cli = &first_;
    } else {
        c->owned = std::make_unique<THttpCli>(
            nullptr, first_.Name + "-" + std::to_string(conns_.size() + 1));
        THttpCli& k = *c->owned;
        k.LocalAddr = first_.LocalAddr;
        k.Agent = first_.Agent;
        k.Accept = first_.Accept;
        k.NoCache = first_.NoCache;
        k.SetRequestVer(first_.RequestVer());
        k.FollowRelocation = first_.FollowRelocation;
        k.LocationChangeMaxCount = first_.LocationChangeMaxCount;
        k.Options = first_.Options;
        c->cli = &k;
    }
    Conn& conn = *c;
    conn.sink = std::make_unique<Sink>(*this, conn);
    THttpCli& k = *conn.cli;
    k.RcvdStream = conn.sink.get();
    k.OnHeaderData = [&conn](THttpCli&) { conn.lastByteTick = platform::GetTickCount(); };
    k.OnHeaderEnd = [this, &conn](THttpCli&) { HeaderEnded(conn); };
    k.OnDocData = [this, &conn](THttpCli&, const char*, int) {
        conn.lastByteTick = platform::GetTickCount();
        if (OnData) {
            OnData();
        }
    };
    k.OnRequestDone = [&conn](THttpCli&, THttpRequest, std::uint16_t) {
        if (conn.busy) {
            conn.finished = true;
        }
    };
    // Range and If-Range go with every request of the Get, relocations included.
    k.OnBeforeHeaderSend = [&conn](THttpCli&, const std::string&, std::vector<std::string>& h) {
        if (!conn.rangeLine.empty()) {
            h.push_back(conn.rangeLine);
            if (!conn.ifRange.empty()) {
                h.push_back("If-Range: " + conn.ifRange);
            }
        }
    };
    conns_.push_back(std::move(c));
    return conn;
}

void TFileTransfer::StartRequest(Conn& c, std::int64_t begin, std::int64_t end, bool ranged,
                                 const std::string& target) {
    THttpCli& k = *c.cli;
    if (target.empty()) {
        c.hops = 0;
    }
    c.tooManyHops = false;
    c.pos = begin;
    c.end = end;
    c.responseEnd = -1;
    c.ranged = ranged;
    c.accepted = false;
    c.why = Why::None;
    c.waiting = false;
    c.finished = false;
    c.rangeLine.clear();
    c.ifRange.clear();
    if (ranged) {
        c.rangeLine = "Range: bytes=" + std::to_string(begin) + "-" +
                      (end >= 0 ? std::to_string(end - 1) : std::string());
        c.ifRange = validator_;
    }
    const std::string& address = !target.empty() ? target : resolved_.empty() ? url_ : resolved_;
    k.URL = address;
    k.FollowRelocation = false;
    // Every address goes its own way: a host in no_proxy is fetched directly.
    if (ProxyEnabled()) {
        const TProxyRoute route = SystemProxyRoute(address);
        k.Proxy = route.Host;
        k.ProxyPort = std::to_string(route.Port);
        k.ProxyUsername = route.User;
        k.ProxyPassword = route.Password;
    }
    // https addresses go through https_proxy alone, or direct without it.
    const TProxyRoute secure = SystemHttpsProxyRoute(address);
    k.HttpsProxy = secure.Host;
    k.HttpsProxyPort = std::to_string(secure.Port);
    k.HttpsProxyUsername = secure.User;
    k.HttpsProxyPassword = secure.Password;
    // A Content-Range of the last response would go out again as a Range of its own.
    k.ContentRangeBegin.clear();
    k.ContentRangeEnd.clear();
    c.lastByteTick = platform::GetTickCount();
    c.busy = true;
    try {
        k.GetAsync();
    } catch (const std::exception& e) {
        c.busy = false;
        Fail(Outcome::Failed, e.what());
    }
}

void TFileTransfer::AbortLater(Conn& c, Why why) {
    if (c.why != Why::None) {
        return;
    }
    c.why = why;
    // Not from inside the client's own reception: once it has returned.
    QMetaObject::invokeMethod(
        &context_,
        [&c, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock() && c.busy && c.cli->State() != httpReady) {
                c.cli->Abort();
            }
        },
        Qt::QueuedConnection);
}

void TFileTransfer::AbortAll(Why why) {
    for (auto& c : conns_) {
        c->waiting = false;
        if (c->busy) {
            if (c->why == Why::None) {
                c->why = why;
            }
            if (c->cli->State() != httpReady) {
                c->cli->Abort();
            }
        }
    }
}

void TFileTransfer::Fail(Outcome outcome, std::string reason, int status, int errorNumber) {
    if (failed_ || stopped_) {
        return;
    }
    failed_ = true;
    result_ = {outcome, std::move(reason), status, errorNumber};
    for (auto& c : conns_) {
        c->waiting = false;
        if (c->busy) {
            AbortLater(*c, Why::Stopped);
        }
    }
}

// --- Responses ---------------------------------------------------------------------------------

void TFileTransfer::HeaderEnded(Conn& c) {
    THttpCli& k = *c.cli;
    if (c.why != Why::None || failed_ || stopped_ || k.LocationFlag()) {
        return;
    }
    const int status = k.StatusCode();
    const transfer::FileFacts facts = transfer::ReadFileFacts(k.RcvdHeader());
    if (status == 200) {
        // The whole file from its first byte: the first answer, or a server that ignores the
        // range, or a validator that no longer matches.
        if (known_ || c.ranged) {
            changed_ = changed_ || known_;
            if (++restarts_ > settings_.maxAttempts) {
                Fail(Outcome::Failed, LoadStr(StrId::TransferFileKeepsChanging));
                return;
            }
        }
        Adopt(c, facts);
        return;
    }
    if (status == 206 && c.ranged) {
        const auto& cr = facts.range;
        const std::string v = facts.Validator();
        if (cr && ((cr->total >= 0 && cr->total != length_) ||
                   (!v.empty() && !validator_.empty() && v != validator_))) {
            // Another version of the file: never spliced with the bytes we have.
            RestartFromZero(c);
            return;
        }
        if (!cr || cr->first != c.pos ||
            (c.end >= 0 ? cr->last + 1 > c.end : cr->last + 1 != length_)) {
            Fail(Outcome::Failed, LoadStr(StrId::TransferOtherRange), status);
            return;
        }
        c.responseEnd = cr->last + 1;
        if (c.end < 0 || c.responseEnd < c.end) {
            // A server may send less than asked; the rest goes back to be fetched.
            if (c.end >= 0) {
                pending_.push_back({c.responseEnd, c.end});
            }
            c.end = c.responseEnd;
        }
        c.accepted = true;
        if (!known_) {
            known_ = true;
            ranges_ = true;
        }
        if (waitingShown_ && OnReconnect) {
            waitingShown_ = false;
            OnReconnect(0, settings_.maxAttempts);
        }
        return;
    }
    if (status == 416 && c.ranged) {
        RestartFromZero(c);
    }
    // Anything else is judged when the request is over.
}

void TFileTransfer::Adopt(Conn& c, const transfer::FileFacts& facts) {
    THttpCli& k = *c.cli;
    // Every other connection's bytes belong to what we had: they are dropped.
    for (auto& other : conns_) {
        if (other.get() != &c && other->busy) {
            AbortLater(*other, Why::Retired);
            other->retired = true;
        }
        other->waiting = false;
    }
    pending_.clear();
    received_ = 0;
    length_ = k.ContentLength();
    validator_ = facts.Validator();
    ranges_ = facts.acceptsRanges && length_ > 0;
    known_ = true;
    resolved_ = k.URL;
    if (!SizePart(length_)) {
        return;
    }
    c.pos = 0;
    c.end = length_;
    c.responseEnd = length_;
    c.accepted = true;
    if (ranges_ && !changed_ && settings_.connections > 1 && length_ >= settings_.minSplit) {
        auto pieces = transfer::SplitRange({0, length_}, settings_.connections, settings_.minSplit);
        c.end = pieces.front().end;
        pending_.assign(pieces.begin() + 1, pieces.end());
    }
    if (OnLength) {
        OnLength();
    }
    if (waitingShown_ && OnReconnect) {
        waitingShown_ = false;
        OnReconnect(0, settings_.maxAttempts);
    }
}

void TFileTransfer::RestartFromZero(Conn& c) {
    changed_ = true;
    if (++restarts_ > settings_.maxAttempts) {
        Fail(Outcome::Failed, LoadStr(StrId::TransferFileKeepsChanging));
        return;
    }
    for (auto& other : conns_) {
        if (other.get() != &c && other->busy) {
            other->retired = true;
            AbortLater(*other, Why::Retired);
        }
        other->waiting = false;
    }
    pending_.clear();
    received_ = 0;
    validator_.clear();
    known_ = false;
    AbortLater(c, Why::Restart);
}

void TFileTransfer::Written(Conn& c, std::int64_t n) {
    c.pos += n;
    received_ += n;
    if (c.end >= 0 && c.pos >= c.end && c.responseEnd > c.end) {
        // Its range was shortened for another connection: the rest is not ours to take.
        AbortLater(c, Why::EndReached);
    }
}

void TFileTransfer::RequestDone(Conn& c) {
    c.busy = false;
    c.finished = false;
    THttpCli& k = *c.cli;
    const Why why = c.why;
    c.why = Why::None;
    if (stopped_ || failed_ || why == Why::Stopped || why == Why::Retired) {
        return;
    }
    if (why == Why::Restart) {
        StartRequest(c, 0, -1, false);
        return;
    }
    if (why == Why::EndReached) {
        AssignNext(c);
        return;
    }
    if (why == Why::None && k.RequestDoneError() == httperrAborted) {
        Stop();  // aborted from outside: the window's Stop
        return;
    }
    const int status = k.StatusCode();
    if (c.accepted) {
        const bool whole = c.end >= 0 ? c.pos >= c.end : !k.BodyIncomplete() && why == Why::None;
        if (whole) {
            if (c.end < 0) {
                length_ = c.pos;  // the length is known now that the body has ended
            }
            AssignNext(c);
        } else {
            Cut(c);
        }
        return;
    }
    // Nothing of the file came with this request.
    if (FollowRelocation(c)) {
        return;
    }
    const bool network = status == 0 || (status == 404 && k.RequestDoneError() != 0) ||
                         why == Why::Stall || k.BodyIncomplete();
    if (known_ && !network && OpenConnections() > 0) {
        // A server that will not take one more connection: its range goes to the others.
        if (c.end > c.pos) {
            pending_.push_back({c.pos, c.end});
        }
        c.retired = true;
        return;
    }
    if (CanContinue() && (network || IsPassing(status))) {
        Cut(c);
        return;
    }
    if (network && known_) {
        Fail(Outcome::Incomplete, {});
        return;
    }
    std::string reason = k.ReasonPhrase();
    if (why == Why::Stall) {
        reason = LoadStr(StrId::TransferNoData);
    } else if (k.RequestDoneError() == 0 && status != 0) {
        reason = std::to_string(status) + " " + reason;
    }
    // A relocation refused at the limit leaves the redirect's own status, which alone reads as
    // if the server had failed.
    if (c.tooManyHops) {
        reason = LoadStr(StrId::TooManyRelocations) + ": " + reason;
    }
    Fail(Outcome::Failed, reason, status);
}

bool TFileTransfer::FollowRelocation(Conn& c) {
    THttpCli& k = *c.cli;
    const int status = k.StatusCode();
    if (!follow_ ||
        (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)) {
        return false;
    }
    std::string location;
    for (const std::string& line : k.RcvdHeader()) {
        if (line.size() > 9 && text::EqualsCaseless(line.substr(0, 9), "location:")) {
            location = line.substr(9);
            break;
        }
    }
    const auto next = transfer::ResolveLocation(k.URL, location);
    if (!next) {
        return false;  // the relocation's own status ends the request
    }
    if (c.hops >= maxHops_) {
        c.tooManyHops = true;
        return false;
    }
    const int hops = c.hops + 1;
    StartRequest(c, c.pos, c.end, c.ranged, *next);
    c.hops = hops;
    return true;
}

void TFileTransfer::AssignNext(Conn& c) {
    if (c.retired || failed_ || stopped_) {
        return;
    }
    if (!pending_.empty()) {
        const ByteRange r = pending_.front();
        pending_.erase(pending_.begin());
        StartRequest(c, r.begin, r.end, true);
        return;
    }
    TakeOver(c);
}

bool TFileTransfer::TakeOver(Conn& c) {
    if (!ranges_ || changed_) {
        return false;
    }
    std::vector<ByteRange> running;
    std::vector<Conn*> owners;
    for (auto& o : conns_) {
        if (o.get() != &c && o->busy && o->accepted && o->end >= 0 && o->why == Why::None) {
            running.push_back({o->pos, o->end});
            owners.push_back(o.get());
        }
    }
    const auto share = transfer::RangeToShare(running, settings_.minSplit / 4);
    if (!share) {
        return false;
    }
    Conn& victim = *owners[*share];
    const std::int64_t mid = transfer::SplitPoint(running[*share]);
    const std::int64_t end = victim.end;
    victim.end = mid;
    StartRequest(c, mid, end, true);
    return true;
}

void TFileTransfer::Cut(Conn& c) {
    if (!CanContinue()) {
        Fail(Outcome::Incomplete, {});
        return;
    }
    if (attempts_ >= settings_.maxAttempts) {
        Fail(Outcome::Incomplete, {});
        return;
    }
    ++attempts_;
    c.waiting = true;
    c.retryTick = platform::GetTickCount();
    c.retryDelayMs =
        static_cast<std::uint32_t>(transfer::RetryDelaySeconds(attempts_) * settings_.retryUnitMs);
    waitingShown_ = true;
    if (OnReconnect) {
        OnReconnect(attempts_, settings_.maxAttempts);
    }
}

bool TFileTransfer::CanContinue() const {
    return ranges_ && length_ > 0 && !failed_;
}

bool TFileTransfer::CanResumeLater() const {
    return ranges_ && length_ > 0 && !validator_.empty();
}

void TFileTransfer::OpenMoreConnections() {
    if (!known_ || !ranges_ || failed_ || stopped_ || length_ < settings_.minSplit) {
        return;
    }
    const int limit = changed_ ? 1 : settings_.connections;
    for (;;) {
        int working = 0;
        Conn* idle = nullptr;
        for (auto& c : conns_) {
            if (c->retired) {
                continue;
            }
            if (c->busy || c->waiting) {
                ++working;
            } else if (idle == nullptr) {
                idle = c.get();
            }
        }
        if (working >= limit) {
            return;
        }
        if (idle == nullptr) {
            if (static_cast<int>(conns_.size()) >= 2 * settings_.connections) {
                return;  // the server refused some; no more are tried
            }
            if (pending_.empty() && !TakeOverPossible()) {
                return;
            }
            idle = &NewConn();
        }
        if (!pending_.empty()) {
            const ByteRange r = pending_.front();
            pending_.erase(pending_.begin());
            StartRequest(*idle, r.begin, r.end, true);
        } else if (!TakeOver(*idle)) {
            return;
        }
    }
}

bool TFileTransfer::TakeOverPossible() const {
    std::vector<ByteRange> running;
    for (const auto& o : conns_) {
        if (o->busy && o->accepted && o->end >= 0 && o->why == Why::None) {
            running.push_back({o->pos, o->end});
        }
    }
    return ranges_ && !changed_ && transfer::RangeToShare(running, settings_.minSplit / 4);
}

std::vector<ByteRange> TFileTransfer::Missing() const {
    std::vector<ByteRange> out = pending_;
    // A connection's range is missing until it has reached its end, whatever became of its
    // request; a range counted twice only makes the record more careful.
    for (const auto& c : conns_) {
        if (c->end > c->pos) {
            out.push_back({c->pos, c->end});
        }
    }
    return out;
}

bool TFileTransfer::AllDone() const {
    for (const auto& c : conns_) {
        if (c->busy || c->waiting) {
            return false;
        }
    }
    return pending_.empty() && known_ && (length_ < 0 || received_ >= length_);
}

// --- Files -------------------------------------------------------------------------------------

bool TFileTransfer::FolderInPlace() const {
    struct stat now {};
    return !folder_.valid() || (::stat(folderPath_.c_str(), &now) == 0 &&
                                now.st_dev == folderDev_ && now.st_ino == folderIno_);
}

void TFileTransfer::UnlinkInFolder(const std::string& path) const {
    if (folder_.valid()) {
        const std::size_t slash = path.rfind('/');
        ::unlinkat(folder_.get(), path.c_str() + (slash == std::string::npos ? 0 : slash + 1), 0);
    } else {
        ::unlink(path.c_str());
    }
}

bool TFileTransfer::Prepare() {
    {
        const std::size_t slash = path_.rfind('/');
        folderPath_ = slash == std::string::npos ? std::string(".") : path_.substr(0, slash + 1);
        folder_.reset(::open(folderPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (folder_.valid() && ::fstat(folder_.get(), &info) == 0) {
            folderDev_ = info.st_dev;
            folderIno_ = info.st_ino;
        } else {
            folder_.reset();
        }
    }
    // A folder in the way is told before anything is fetched.
    struct stat target {};
    if (::stat(path_.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        Fail(Outcome::CreateFailed, transfer::PlainReason(EISDIR), 0, EISDIR);
        return false;
    }
    // A part of an earlier run is continued only when its record says what it holds.
    const auto meta = transfer::ParsePartMeta(ReadSmallFile(metaPath_));
    platform::UniqueFd fd(::open(part_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && meta && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size == meta->length && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        fd_ = std::move(fd);
        length_ = meta->length;
        validator_ = meta->validator;
        pending_ = transfer::Complement(meta->done, length_);
        received_ = length_;
        for (const ByteRange& r : pending_) {
            received_ -= r.Size();
        }
        return true;
    }
    if (fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno == EWOULDBLOCK ? EAGAIN : errno;
        Fail(Outcome::CreateFailed, transfer::PlainReason(reason), 0, reason);
        return false;
    }
    fd.reset();
    ::unlink(metaPath_.c_str());
    ::unlink(part_.c_str());
    fd_.reset(::open(part_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd_.valid() || ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        fd_.reset();
        Fail(Outcome::CreateFailed, transfer::PlainReason(reason), 0, reason);
        return false;
    }
    return true;
}

bool TFileTransfer::SizePart(std::int64_t length) {
    ::unlink(metaPath_.c_str());
    if (::ftruncate(fd_.get(), 0) != 0) {
        const int reason = errno;
        Fail(Outcome::WriteFailed, transfer::PlainReason(reason), 0, reason);
        return false;
    }
    if (length <= 0) {
        return true;
    }
    // Room for the whole file at once: a full disk is told now, not an hour later.
    if (::fallocate(fd_.get(), 0, 0, length) != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
        const int reason = errno;
        Fail(Outcome::WriteFailed, transfer::PlainReason(reason), 0, reason);
        return false;
    }
    if (::ftruncate(fd_.get(), length) != 0) {
        const int reason = errno;
        Fail(Outcome::WriteFailed, transfer::PlainReason(reason), 0, reason);
        return false;
    }
    return true;
}

void TFileTransfer::SaveMeta() {
    metaSavedTick_ = platform::GetTickCount();
    if (!fd_.valid() || validator_.empty() || length_ <= 0 || !ranges_) {
        return;
    }
    transfer::PartMeta meta{validator_, length_, transfer::Complement(Missing(), length_)};
    // The bytes it names reach the disk before the record that names them.
    ::fdatasync(fd_.get());
    const std::string text = transfer::FormatPartMeta(meta);
    const std::string tmp = metaPath_ + ".new";
    platform::UniqueFd out(
        ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid()) {
        return;
    }
    const bool written =
        ::write(out.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    out.reset();
    if (!written || ::rename(tmp.c_str(), metaPath_.c_str()) != 0) {
        ::unlink(tmp.c_str());
    }
}

void TFileTransfer::DropPart() {
    fd_.reset();
    UnlinkInFolder(part_);
    UnlinkInFolder(metaPath_);
}

// --- The run -----------------------------------------------------------------------------------

TFileTransfer::Result TFileTransfer::Run() {
    if (!Prepare()) {
        return Finish();
    }
    Conn& first = NewConn();
    if (!pending_.empty() && !validator_.empty()) {
        // Continued from an earlier run: the server must confirm the validator.
        ranges_ = true;
        const ByteRange r = pending_.front();
        pending_.erase(pending_.begin());
        StartRequest(first, r.begin, r.end, true);
        if (OnLength) {
            OnLength();
        }
        if (OnData) {
            OnData();  // what is there already
        }
    } else if (pending_.empty() && length_ > 0) {
        known_ = true;  // every byte was there already
    } else {
        length_ = -1;
        received_ = 0;
        pending_.clear();
        StartRequest(first, 0, -1, false);
    }
    const auto alive = alive_;
    while (!stopped_) {
        if (QCoreApplication::closingDown()) {
            Stop();
            break;
        }
        for (std::size_t i = 0; i < conns_.size(); ++i) {
            Conn& c = *conns_[i];
            if (c.finished) {
                RequestDone(c);
            }
        }
        if (stopped_ || (failed_ && OpenConnections() == 0)) {
            break;
        }
        const std::uint32_t now = platform::GetTickCount();
        for (auto& c : conns_) {
            if (c->busy && c->why == Why::None &&
                now - c->lastByteTick >= static_cast<std::uint32_t>(settings_.stallMs)) {
                c->why = Why::Stall;
                c->cli->Abort();
            } else if (c->waiting && !failed_ && now - c->retryTick >= c->retryDelayMs) {
                StartRequest(*c, c->pos, c->end, true);
            }
        }
        OpenMoreConnections();
        if (!failed_ && AllDone()) {
            break;
        }
        if (now - metaSavedTick_ >= kMetaEveryMs) {
            SaveMeta();
        }
        platform::WaitForMessages(kLoopWaitMs);
        if (!*alive) {
            return {Outcome::Stopped, {}, 0, 0};
        }
    }
    return Finish();
}

TFileTransfer::Result TFileTransfer::Finish() {
    AbortAll(Why::Stopped);
    for (auto& c : conns_) {
        c->busy = false;
    }
    if (stopped_ && !failed_) {
        result_ = {Outcome::Stopped, {}, 0, 0};
    }
    const bool keep =
        (result_.outcome == Outcome::Stopped || result_.outcome == Outcome::Incomplete) &&
        CanResumeLater();
    if (result_.outcome == Outcome::Done) {
        if (length_ >= 0 && ::ftruncate(fd_.get(), length_) != 0) {
            const int reason = errno;
            result_ = {Outcome::WriteFailed, transfer::PlainReason(reason), 0, reason};
        } else if (!FolderInPlace()) {
            result_ = {Outcome::WriteFailed, transfer::PlainReason(ENOENT), 0, ENOENT};
        } else if (::rename(part_.c_str(), path_.c_str()) != 0) {
            const int reason = errno;
            result_ = {Outcome::WriteFailed, transfer::PlainReason(reason), 0, reason};
        } else {
            fd_.reset();
            ::unlink(metaPath_.c_str());
            return result_;
        }
    }
    if (keep && result_.outcome != Outcome::WriteFailed) {
        SaveMeta();
        fd_.reset();
    } else if (result_.outcome != Outcome::CreateFailed) {
        DropPart();
    }
    return result_;
}
