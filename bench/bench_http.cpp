// Download throughput of THttpCli on loopback, its peak memory, and how long the thread's event
// loop is held up meanwhile (the longest gap between ticks of a 10 ms timer).
//
//   bench_http serve                 serves GET /file?size=N (N bytes) on 127.0.0.1, prints
//                                    the port on the first line, runs until killed
//   bench_http get URL OUTPUT [URL OUTPUT]...
//                                    downloads each URL into its OUTPUT with one THttpCli, one
//                                    after another (through the system proxy when http_proxy
//                                    is set), and prints per file "bytes=.. seconds=..
//                                    mib_per_s=.. max_gap_ms=.. peak_rss_kib=..", then
//                                    "total_seconds=.." when there was more than one
//
// scripts/bench-http.sh runs both against curl.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/Proxy.h"
#include "http/HttpProt.h"
#include "platform/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

void ServeConnection(platform::UniqueFd fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n <= 0) {
            return;
        }
        request.append(buf, static_cast<std::size_t>(n));
    }
    long long size = 0;
    if (const auto p = request.find("size="); p != std::string::npos) {
        size = std::atoll(request.c_str() + p + 5);
    }
    const std::string header =
        "HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " + std::to_string(size) +
        "\r\n\r\n";
    if (::send(fd.get(), header.data(), header.size(), MSG_NOSIGNAL) < 0) {
        return;
    }
    // The same 1 MiB pattern again and again: the file's bytes never touch a disk here.
    static const std::vector<char> pattern = [] {
        std::vector<char> p(1 << 20);
        for (std::size_t i = 0; i < p.size(); ++i) {
            p[i] = static_cast<char>('a' + i % 26);
        }
        return p;
    }();
    long long left = size;
    while (left > 0) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<long long>(left, static_cast<long long>(pattern.size())));
        const ssize_t sent = ::send(fd.get(), pattern.data(), n, MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        left -= sent;
    }
    ::shutdown(fd.get(), SHUT_WR);
    while (::recv(fd.get(), buf, sizeof buf, 0) > 0) {
    }
}

int Serve() {
    platform::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener.get(), 16) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("%d\n", ntohs(sa.sin_port));
    std::fflush(stdout);
    while (true) {
        platform::UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (fd.valid()) {
            std::thread(ServeConnection, std::move(fd)).detach();
        }
    }
}

int Get(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    THttpCli http;
    http.Agent = "Mozilla/3.0 (compatible)";
    if (ProxyEnabled()) {
        std::string host;
        std::int32_t port = 0;
        GetProxyServer("http", host, port);
        http.Proxy = host;
        http.ProxyPort = std::to_string(port);
    }

    // The window's own work during a transfer: a 10 ms timer in the same thread.
    QTimer ticker;
    auto last = Clock::now();
    double maxGapMs = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        maxGapMs =
            std::max(maxGapMs, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    });
    ticker.start(10);

    const auto begin = Clock::now();
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string error;
        auto file = THttpFileStream::Create(argv[i + 1], &error);
        if (!file) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        http.URL = argv[i];
        http.RcvdStream = file.get();
        maxGapMs = 0;
        last = Clock::now();
        const auto start = Clock::now();
        try {
            http.Get();
        } catch (const EHttpException& e) {
            std::fprintf(stderr, "Get failed: %s (%u)\n", e.what(), e.ErrorCode());
            return 1;
        }
        http.RcvdStream = nullptr;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!http.RcvdStreamError().empty()) {
            std::fprintf(stderr, "write failed: %s\n", http.RcvdStreamError().c_str());
            return 1;
        }
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        std::printf("bytes=%lld seconds=%.3f mib_per_s=%.1f max_gap_ms=%.1f peak_rss_kib=%ld\n",
                    static_cast<long long>(http.RcvdCount()), seconds,
                    static_cast<double>(http.RcvdCount()) / seconds / (1 << 20), maxGapMs,
                    ru.ru_maxrss);
    }
    if (argc > 4) {
        std::printf("total_seconds=%.3f\n",
                    std::chrono::duration<double>(Clock::now() - begin).count());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return Serve();
    }
    if (argc >= 4 && std::strcmp(argv[1], "get") == 0) {
        return Get(argc, argv);
    }
    std::fprintf(stderr, "usage: bench_http serve | bench_http get URL OUTPUT [URL OUTPUT]...\n");
    return 2;
}
