#include <QSocketNotifier>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "http/WSocket.h"
#include "http/WSocketInternal.h"
#include "platform/Messages.h"
#include "platform/Socket.h"

using wsocket_internal::SendBufferLock;

namespace {

// Fatal send errors: the connection is gone, so the socket closes instead of reporting.
bool IsFatalSendError(int code) {
    return code == WSAEINVAL || code == WSAENOTSOCK || code == WSAECONNABORTED ||
           code == WSAECONNRESET || code == WSAENOTCONN;
}

}  // namespace

void TWSocket::HandleNotice() {
    if (!fd_.valid() || paused_) {
        return;
    }
    const int fd = fd_.get();
    platform::Readiness r = platform::PollNow(fd);
    int bits = 0;
    int error = 0;
    int waitingError = 0;

    if (datagram_) {
        if (r.errorFlag) {
            platform::TakePendingError(fd);  // a late ICMP answer; nothing to report it to
        }
        if (r.readable) {
            bits |= FD_READ;
        }
    } else if (state_ == wsConnecting) {
        if (!r.writable && !r.errorFlag && !r.hangup) {
            return;
        }
        error = platform::TakePendingError(fd);
        bits |= FD_CONNECT;
        if (error == 0) {
            waitingForWrite_ = false;
            UpdateNotifiers();
            if (r.writable) {
                bits |= FD_WRITE;
            }
            int waiting = platform::BytesWaiting(fd, waitingError);
            if (waiting > 0) {
                bits |= FD_READ;
            } else if (r.hangup) {
                bits |= FD_CLOSE;
            }
        }
    } else {
        if (r.writable && waitingForWrite_) {
            bits |= FD_WRITE;
        }
        if (r.readable || r.hangup || r.errorFlag) {
            int waiting = platform::BytesWaiting(fd, waitingError);
            if (waiting > 0) {
                bits |= FD_READ;
            } else {
                // Nothing left to read and the stream has ended (or failed): the close notice.
                error = platform::TakePendingError(fd);
                bits |= FD_CLOSE;
            }
        }
    }
    if (bits == 0) {
        return;
    }
    const bool closePending = !datagram_ && (bits & FD_READ) != 0 && (r.hangup || r.errorFlag);
    int waitingBefore = closePending ? platform::BytesWaiting(fd, waitingError) : 0;
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    HandleSocketEvent(bits, error);
    // The peer has gone but the handler takes nothing of what is left: report the close now
    // rather than wake up for the same bytes forever.
    if (closePending && !alive.expired() && serial == connection_ && fd_.valid() &&
        state_ == wsConnected && platform::BytesWaiting(fd_.get(), waitingError) == waitingBefore) {
        HandleSocketEvent(FD_CLOSE, platform::TakePendingError(fd_.get()));
    }
}

void TWSocket::HandleSocketEvent(int bits, int error) {
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    // Paused by a handler: the rest of this notice waits for Resume, as a later notice would.
    auto gone = [&] { return alive.expired() || serial != connection_ || !fd_.valid() || paused_; };
    const auto err = static_cast<std::uint16_t>(error);

    if ((bits & FD_CONNECT) != 0 && state_ != wsConnected) {
        ChangeState(wsConnected);
        if (alive.expired()) {
            return;
        }
        if (OnSessionConnected) {
            OnSessionConnected(*this, err);
            if (alive.expired()) {
                return;
            }
        }
        if (error != 0) {
            if (state_ != wsClosed && serial == connection_) {
                Close();
            }
            return;
        }
    }
    if (gone()) {
        return;
    }
    if ((bits & FD_READ) != 0) {
        if (state_ != wsConnected) {
            ChangeState(wsConnected);
            if (gone()) {
                return;
            }
            if (OnSessionConnected) {
                OnSessionConnected(*this, err);
                if (gone()) {
                    return;
                }
            }
        }
        ReceiveLoop((componentOptions_ & wsoNoReceiveLoop) != 0, err);
        if (gone()) {
            return;
        }
    }
    if ((bits & FD_WRITE) != 0) {
        if (TryToSend()) {
            if (gone()) {
                return;
            }
            if (OnDataSent) {
                OnDataSent(*this, err);
                if (gone()) {
                    return;
                }
            }
        } else if (gone()) {
            return;
        }
    }
    if ((bits & FD_ACCEPT) != 0 && OnSessionAvailable) {
        OnSessionAvailable(*this, err);
        if (gone()) {
            return;
        }
    }
    if ((bits & FD_CLOSE) != 0 && state_ != wsConnecting) {
        ReceiveLoop(false, err);
        if (gone()) {
            return;
        }
        if (!closeReported_) {
            closeReported_ = true;
            if (OnSessionClosed) {
                OnSessionClosed(*this, err);
                if (alive.expired() || serial != connection_) {
                    return;
                }
            }
        }
        if (state_ != wsClosed) {
            Close();
        }
    }
}

// --- Receiving -------------------------------------------------------------------------------

void TWSocket::ReceiveLoop(bool noLoop, std::uint16_t error) {
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    const auto start = std::chrono::steady_clock::now();
    // Bounded: on a link faster than the handler bytes are always waiting, and an endless loop
    // would keep the event loop (and the Stop button) from ever running. The notifier is
    // level-triggered, so the next notice goes on where this one stopped.
    for (int pass = 1;; ++pass) {
        lastError_ = 0;
        try {
            if (OnDataAvailable) {
                OnDataAvailable(*this, error);
            } else {
                char scratch[1024];
                if (Receive(scratch, sizeof scratch) < 0 && lastError_ == WSAEWOULDBLOCK) {
                    return;
                }
            }
        } catch (...) {
            return;  // a failing handler ends this notice's reading, silently
        }
        if (alive.expired() || serial != connection_ || !fd_.valid() || paused_) {
            return;
        }
        if (noLoop) {
            return;
        }
        if (lastError_ != 0) {
            if (lastError_ == -1) {
                lastError_ = 0;
            }
            return;
        }
        int askError = 0;
        int waiting = platform::BytesWaiting(fd_.get(), askError);
        if (waiting < 0) {
            lastError_ = askError;
            return;
        }
        if (waiting == 0) {
            return;
        }
        if (pass >= kMaxReceivePasses || std::chrono::steady_clock::now() - start >=
                                             std::chrono::milliseconds(kReceiveSliceMs)) {
            return;
        }
    }
}

int TWSocket::Receive(void* buffer, int bufferSize) {
    if (!fd_.valid()) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    if (bufferSize < 0) {
        lastError_ = WSAEINVAL;
        return -1;
    }
    int error = 0;
    long n = platform::ReceiveSome(fd_.get(), buffer, static_cast<std::size_t>(bufferSize), error);
    if (n < 0) {
        lastError_ = error;
        return -1;
    }
    readCount_ += n;
    return static_cast<int>(n);
}

// --- Sending ---------------------------------------------------------------------------------

void TWSocket::PutDataInSendBuffer(const void* data, int len) {
    if (len <= 0 || data == nullptr) {
        return;
    }
    std::lock_guard lock(SendBufferLock());
    const char* p = static_cast<const char*>(data);
    int left = len;
    if (sendBlocks_.empty()) {
        sendBlocks_.emplace_back(kSendBlockSize);
    }
    while (left > 0) {
        SendBlock& last = sendBlocks_.back();
        int room = static_cast<int>(last.data.size()) - last.writeCount;
        if (room <= 0) {
            sendBlocks_.emplace_back(kSendBlockSize);
            continue;
        }
        int n = std::min(room, left);
        std::memcpy(last.data.data() + last.writeCount, p, static_cast<std::size_t>(n));
        last.writeCount += n;
        p += n;
        left -= n;
    }
    bufferedBytes_ += len;
    allSent_ = false;
}

int TWSocket::Send(const void* data, int len) {
    if (state_ != wsConnected && state_ != wsSocksConnected) {
        SocketError("Send", WSAENOTCONN);
        return -1;
    }
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    allSent_ = false;
    if (len > 0) {
        PutDataInSendBuffer(data, len);
    }
    bool sentAll = TryToSend();
    if (sentAll && !alive.expired() && serial == connection_ && fd_.valid()) {
        // OnDataSent follows from the event loop, as after a send that had to wait.
        platform::PostMessage(this, WM_ASYNCSELECT, static_cast<std::intptr_t>(serial), FD_WRITE);
    }
    return len <= 0 ? 0 : len;
}

bool TWSocket::TryToSend() {
    std::lock_guard lock(SendBufferLock());
    if (!fd_.valid() || sendBlocks_.empty()) {
        allSent_ = true;
        return true;
    }
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    for (;;) {
        SendBlock& block = sendBlocks_.front();
        int count = block.writeCount - block.readCount;
        if (count > 0) {
            int error = 0;
            long n = platform::SendSome(fd_.get(), block.data.data() + block.readCount,
                                        static_cast<std::size_t>(count), error);
            if (n < 0) {
                if (error == WSAEWOULDBLOCK) {
                    waitingForWrite_ = true;
                    UpdateNotifiers();
                    return false;
                }
                if (IsFatalSendError(error)) {
                    bool reported = closeReported_;
                    closeReported_ = true;
                    lastError_ = error;
                    Close();
                    if (!reported && !alive.expired() && OnSessionClosed) {
                        OnSessionClosed(*this, static_cast<std::uint16_t>(error));
                    }
                    return false;
                }
                SocketError("TryToSend failed", error);
                return false;
            }
            block.readCount += static_cast<int>(n);
            bufferedBytes_ = std::max<std::int64_t>(0, bufferedBytes_ - n);
            if (block.readCount == block.writeCount) {
                block.readCount = 0;
                block.writeCount = 0;
            }
            if (OnSendData) {
                OnSendData(*this, static_cast<int>(n));
                if (alive.expired() || serial != connection_ || !fd_.valid() ||
                    sendBlocks_.empty()) {
                    return false;
                }
            }
            if (n < count) {
                waitingForWrite_ = true;  // the rest goes at the next write notice
                UpdateNotifiers();
                return false;
            }
            continue;  // a full send: look at the same block again
        }
        if (sendBlocks_.size() > 1) {
            sendBlocks_.pop_front();
            continue;
        }
        allSent_ = true;
        waitingForWrite_ = false;
        UpdateNotifiers();
        return true;
    }
}

void TWSocket::DeleteBufferedData() {
    std::lock_guard lock(SendBufferLock());
    sendBlocks_.clear();
    bufferedBytes_ = 0;
}
