#pragma once

// TFileTransfer: one video file fetched the way a download manager fetches it. The bytes go
// into NAME.part beside the final name, which is replaced only when the file is whole. A cut
// connection is continued with Range and If-Range; a NAME.part left by an earlier run is
// continued when the server confirms it is the same file (its validator and length are kept in
// NAME.part.meta); a large file is fetched over several connections at once, each writing its
// range in place, a finished one taking over half of the largest range still running.
//
// Run() is synchronous in the way THttpCli::Get is: it dispatches the thread's events while it
// waits, so Stop and the window's painting run inside it.

#include <sys/types.h>

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpProt.h"
#include "platform/UniqueFd.h"
#include "retrieval/TransferPlan.h"

class TFileTransfer {
public:
    struct Settings {
        int connections = 4;
        int maxAttempts = 10;
        // A file this large at least is worth more connections, and no range handed to a
        // connection of its own is smaller than this.
        std::int64_t minSplit = 4 << 20;
        // A connection that brings no byte for this long is taken as cut.
        int stallMs = 20000;
        // The unit of the waits between attempts (1, 2, 4, ... units).
        int retryUnitMs = 1000;
    };
    enum class Outcome {
        Done,        // the whole file is at the final name
        Stopped,     // Stop (or an abort from outside) ended it
        Failed,      // the server refused the file or answered what cannot be used
        Incomplete,  // cut, and the attempts to continue are spent (or it cannot be continued)
        WriteFailed,
        CreateFailed,
    };
    struct Result {
        Outcome outcome = Outcome::Done;
        // Why, for the error line: "404 Not Found", a client failure text, a system reason.
        std::string reason;
        int status = 0;       // the status of the response that failed, when one did
        int errorNumber = 0;  // the system's error number of a write or create failure
    };

    // first is used for the first connection (its settings are copied to the others); url is
    // requested; path is the final file name.
    TFileTransfer(THttpCli& first, std::string url, std::string path, Settings settings);
    ~TFileTransfer();
    TFileTransfer(const TFileTransfer&) = delete;
    TFileTransfer& operator=(const TFileTransfer&) = delete;

    Result Run();
    // Ends the transfer at once: every connection is closed before Run returns. The part is
    // kept when it can be continued.
    void Stop();

    // Bytes of the file present so far (in every range together).
    std::int64_t Received() const { return received_; }
    // The file's length, -1 while unknown.
    std::int64_t Length() const { return length_; }
    // Connections with a request under way.
    int OpenConnections() const;
    const std::string& PartPath() const { return part_; }
    const std::string& MetaPath() const { return metaPath_; }

    // The length became known (or was found to be unknown) for the file being received.
    std::function<void()> OnLength;
    // More bytes arrived.
    std::function<void()> OnData;
    // A connection waits to continue: attempt `attempt` of `max` comes next. 0: data flow again.
    std::function<void(int attempt, int max)> OnReconnect;

private:
    struct Conn;
    class Sink;
    enum class Why { None, EndReached, Restart, Stall, WriteFailed, Stopped, Retired };

    bool Prepare();
    // address empty: the file's address as far as it is known.
    void StartRequest(Conn& c, std::int64_t begin, std::int64_t end, bool ranged,
                      const std::string& address = {});
    // True when c's response was a relocation and its target is requested.
    bool FollowRelocation(Conn& c);
    Conn& NewConn();
    void HeaderEnded(Conn& c);
    void Adopt(Conn& c, const transfer::FileFacts& facts);
    void RestartFromZero(Conn& c);
    void Written(Conn& c, std::int64_t n);
    void RequestDone(Conn& c);
    void AssignNext(Conn& c);
    // c takes over the second half of the largest range still running; false when none is
    // worth it.
    bool TakeOver(Conn& c);
    bool TakeOverPossible() const;
    bool CanResumeLater() const;
    void Cut(Conn& c);
    void AbortLater(Conn& c, Why why);
    void AbortAll(Why why);
    void Fail(Outcome outcome, std::string reason, int status = 0, int errorNumber = 0);
    void OpenMoreConnections();
    bool CanContinue() const;
    bool AllDone() const;
    std::vector<transfer::ByteRange> Missing() const;
    void SaveMeta();
    void DropPart();
    bool FolderInPlace() const;
    void UnlinkInFolder(const std::string& path) const;
    bool SizePart(std::int64_t length);
    Result Finish();

    THttpCli& first_;
    // The first client is the window's: its own handlers come back when the transfer ends.
    THttpCli::Notify savedHeaderData_;
    THttpCli::Notify savedHeaderEnd_;
    decltype(THttpCli::OnDocData) savedDocData_;
    decltype(THttpCli::OnRequestDone) savedRequestDone_;
    decltype(THttpCli::OnBeforeHeaderSend) savedBeforeHeaderSend_;
    // Relocations are followed here, so that each address gets its own route.
    bool follow_ = true;
    int maxHops_ = 5;
    std::string url_;       // what the first request asks for
    std::string resolved_;  // where the file was found after relocations
    std::string path_;
    std::string part_;
    std::string metaPath_;
    Settings settings_;
    platform::UniqueFd fd_;
    // The output folder as it was when the part was made: a folder removed or moved meanwhile
    // is told, and the part is removed where the folder went.
    platform::UniqueFd folder_;
    std::string folderPath_;
    dev_t folderDev_ = 0;
    ino_t folderIno_ = 0;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::vector<transfer::ByteRange> pending_;
    std::int64_t length_ = -1;
    std::int64_t received_ = 0;
    std::string validator_;
    bool ranges_ = false;   // the server serves ranges of this file
    bool known_ = false;    // a response of this file's server has been accepted
    bool changed_ = false;  // the file changed on the server during the transfer
    int attempts_ = 1;
    int restarts_ = 0;
    bool stopped_ = false;
    bool failed_ = false;
    bool waitingShown_ = false;
    Result result_;
    std::uint32_t metaSavedTick_ = 0;
    QObject context_;  // posted calls of this transfer
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
