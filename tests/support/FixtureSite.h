#pragma once

// An offline stand-in for the video sites: an HTTP server on 127.0.0.1 that the program reaches
// as its system proxy (http_proxy=http://127.0.0.1:PORT) and that answers for any host name.
//
// Requests come in proxy form ("GET http://www.youtube.com/watch?v=X HTTP/1.1") or in origin
// form with a Host header. Each is answered from a table of routes keyed by absolute address
// (scheme and host compared ignoring case, path and query exact); an unknown address gets a 404.
// Every reply says "Connection: close" and the connection closes after it.
//
//   testsupport::FixtureSite site;
//   site.Route("http://www.youtube.com/watch?v=X", testsupport::Reply::Body(html));
//   site.Route("http://www.youtube.com/get_video?video_id=X&t=T",
//              testsupport::Reply::Body(flv, "video/x-flv").ResetAfter(1000));
//   setenv("http_proxy", site.ProxyUrl().c_str(), 1);
//   ...
//   EXPECT_EQ(site.Requests()[0], "GET http://www.youtube.com/watch?v=X HTTP/1.1");
//
// The site runs on threads of its own (one per connection), so a test keeps the Qt event loop
// on its main thread. Every wait is bounded; the destructor stops all threads and closes every
// descriptor, which also ends replies that stall.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

class SitePeer;
class TempDir;
class TestAuthority;

// How one address answers.
struct Reply {
    enum class Framing {
        Length,   // Content-Length and the body
        Chunked,  // Transfer-Encoding: chunked, chunks of chunkSize bytes
        Close,    // no length at all: the body ends when the connection closes
    };
    enum class Fault {
        None,
        Reset,       // the full length declared, faultAt body bytes, then a reset (SO_LINGER 0)
        Short,       // the full length declared, faultAt body bytes, then a normal close
        CutChunked,  // every data chunk but never the last (zero) chunk, then a normal close
        Stall,       // the header and faultAt body bytes, then silence until the client closes
        Hang,        // silence before any byte of the response, until the client closes
    };

    int status = 200;
    std::string contentType = "text/html";
    std::shared_ptr<const std::string> body = std::make_shared<const std::string>();
    std::string location;  // sent as Location when not empty
    std::string reason;    // sent as the reason phrase, as it stands, when not empty
    Framing framing = Framing::Length;
    std::size_t chunkSize = 64 * 1024;
    Fault fault = Fault::None;
    std::size_t faultAt = 0;
    // A slow trickle: the body goes out in pieces of trickleChunk bytes, trickleDelayMs apart.
    std::size_t trickleChunk = 0;
    int trickleDelayMs = 0;
    // Ranges as file servers serve them: Accept-Ranges, an ETag, 206 for "Range: bytes=A-B"
    // (unless an If-Range names another tag), 416 for a range past the end.
    bool ranges = false;
    std::string etag;
    // Bytes per second for each connection; 0: as fast as the socket takes them.
    std::size_t rate = 0;
    // The fault hits only the first faultTimes answers of this route (0: every one); the count
    // is shared by the copies of the reply.
    int faultTimes = 0;
    std::shared_ptr<std::atomic<int>> answered = std::make_shared<std::atomic<int>>(0);
    // After changeAfter answers, the route serves changedBody under changedEtag: a file that
    // changes between requests.
    int changeAfter = 0;
    std::shared_ptr<const std::string> changedBody;
    std::string changedEtag;

    static Reply Body(std::string bytes, std::string contentType = "text/html");
    // Shares the bytes: a large video served at several addresses is held once.
    static Reply Body(std::shared_ptr<const std::string> bytes, std::string contentType);
    // An error status with a small HTML body.
    static Reply Status(int status);
    static Reply Redirect(std::string location, int status = 302);

    Reply& Chunked(std::size_t chunk = 64 * 1024);
    Reply& NoLength();
    Reply& ResetAfter(std::size_t bodyBytes);
    Reply& ShortAfter(std::size_t bodyBytes);
    Reply& CutBeforeLastChunk();  // chunked framing included
    Reply& StallAfter(std::size_t bodyBytes);
    Reply& StallBeforeResponse();
    Reply& Trickle(std::size_t chunk, int delayMs);
    Reply& Ranges(std::string entityTag = "\"v1\"");
    Reply& Rate(std::size_t bytesPerSecond);
    Reply& FaultTimes(int times);
    Reply& ChangesAfter(int answers, std::shared_ptr<const std::string> body, std::string tag);
};

// One request as it arrived.
struct RecordedRequest {
    std::string line;                  // "GET http://host/path?q HTTP/1.0"
    std::vector<std::string> headers;  // header lines as sent, in order
    std::string address;               // the absolute address the route was looked up by
};

class FixtureSite {
public:
    // Listens on 127.0.0.1:port (0: an ephemeral port). Throws std::runtime_error when it cannot.
    explicit FixtureSite(int port = 0);
    ~FixtureSite();
    FixtureSite(const FixtureSite&) = delete;
    FixtureSite& operator=(const FixtureSite&) = delete;

    int Port() const { return port_; }
    std::string ProxyUrl() const;  // "http://127.0.0.1:PORT"

    // Turns https on and gives the file of the authority its certificates come from (a client
    // trusts it through SSL_CERT_FILE). https is then served on a connection that starts with
    // a TLS handshake, and through a CONNECT tunnel; routes are kept by "https://" addresses.
    // What a CONNECT's host name starts with changes the tunnel: "refuse." gets a 403, "hang."
    // silence after the 200, "close." a close after the client's first handshake bytes.
    // Certificates by name are described in tests/support/TestTls.h.
    std::string CaFile();

    // Adds or replaces the route of an absolute address. May be called while serving.
    void Route(const std::string& address, Reply reply);
    void RemoveRoute(const std::string& address);
    std::optional<Reply> FindRoute(const std::string& address) const;

    // Request lines in arrival order.
    std::vector<std::string> Requests() const;
    std::vector<RecordedRequest> RecordedRequests() const;
    // Header lines of request i (empty for an unknown i).
    std::vector<std::string> Headers(std::size_t i) const;
    // Value of the first header of request i with this name (ignoring case); empty when none.
    std::string Header(std::size_t i, std::string_view name) const;
    std::size_t RequestCount() const;
    void ClearRequests();
    // Waits (without pumping events) until n requests have arrived in all.
    bool WaitForRequests(std::size_t n, int timeoutMs = 10000) const;
    // Connections accepted and not yet closed by the site.
    int OpenConnections() const;

    // "HTTP://WWW.Host.com:80/p?q#f" -> "http://www.host.com/p?q": the form routes are kept in.
    static std::string NormaliseAddress(std::string_view address);

private:
    struct Connection;
    void AcceptLoop();
    void Serve(Connection& c);
    // One request; false when the connection is done. A tunnel agreed to sets tunnelHost.
    bool ServeOne(SitePeer& peer, const std::string& scheme, bool tunnels, std::string& tunnelHost);
    void ReapFinished(bool all);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable requestArrived_;
    std::map<std::string, Reply> routes_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::thread acceptThread_;
    std::unique_ptr<TempDir> tlsDir_;
    std::unique_ptr<TestAuthority> authority_;
};

// --- The default content set ------------------------------------------------------------------

// One row of tests/fixtures/pages/pages.tsv; "-" columns are empty here.
struct SitePage {
    std::string pageFile;  // full path of the captured page
    std::string jobAddress;
    std::string outcome;
    bool hd = false;
    std::string fileName;
    std::string fileAddress;
};

struct DefaultSite {
    std::vector<SitePage> pages;  // every row, in file order
    // What the file addresses serve: the bare address the FLV, "&fmt=18" the MP4, "&fmt=22" the
    // HD MP4 (only for rows with the HD flag; elsewhere "&fmt=22" meets a 404).
    std::shared_ptr<const std::string> flv, mp4, hdMp4;
    // Where the videos are cached; empty when blobs are served instead.
    std::string flvPath, mp4Path, hdMp4Path;
};

// The folder the generated videos are cached in by default (below the test build folder).
std::string DefaultMediaDir();

// Routes every page at its job address (the first row of an address wins) and every file
// address as described at DefaultSite. The videos are made with ffmpeg (from PATH) into
// mediaDir when missing and reused after. With blobBytes > 0 every file address serves that
// many deterministic pseudo-random bytes instead, and ffmpeg is not needed.
// Throws std::runtime_error when a fixture cannot be read or a video cannot be made.
// clipSeconds sets the length of the generated videos (a demo wants conversions to be seen).
DefaultSite LoadDefaultSite(FixtureSite& site, const std::string& mediaDir = DefaultMediaDir(),
                            std::size_t blobBytes = 0, int clipSeconds = 2);

// --- Pages of other sites --------------------------------------------------------------------

// One page (or direct file) of another site in one of the shapes such sites serve.
struct OtherSitePage {
    std::string shape;    // what the page is, for messages
    std::string job;      // the address pasted
    std::string file;     // the address of the file the run fetches; empty when there is none
    std::string name;     // the name it is stored under; empty when nothing is stored
    std::string failure;  // the start of its error line ("No video found on "), or empty
};

// Routes pages of other sites, each with its file serving video (a direct link, an Open Graph
// page whose file is on another host, HTML5 sources of three sizes behind a base address, a
// player page naming its file in JSON-LD), and pages without a file the program fetches (no
// video, a streaming manifest, a ".mp4" address that answers with HTML). With https on
// (CaFile() called first) the Open Graph page and the direct link are https addresses, their
// http addresses redirects there.
// Taken at quality HD: the sources' largest is the file.
std::vector<OtherSitePage> AddOtherSitePages(FixtureSite& site,
                                             std::shared_ptr<const std::string> video, bool https);

// Deterministic pseudo-random bytes (the same for the same size on every run).
std::string PseudoRandomBytes(std::size_t size);

}  // namespace testsupport
