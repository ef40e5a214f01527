// tamberlo_site: the offline fixture site as a program of its own, for a demo or a benchmark.
//
//   tamberlo_site [--port N] [--media DIR] [--blob-mib N] [--misbehave ADDRESS=KIND[:ARG]]...
//
// Serves the default content set on 127.0.0.1 and prints "http://127.0.0.1:PORT" once it is
// ready; point the program at it with http_proxy=that. Runs until SIGINT or SIGTERM.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/FixtureSite.h"

using testsupport::FixtureSite;
using testsupport::Reply;

namespace {

constexpr const char* kUsage =
    "usage: tamberlo_site [--port N] [--media DIR] [--blob-mib N] [--clip-seconds N]\n"
    "                     [--trickle CHUNK,MS] [--bench-pages N] [--https] [--ranges]\n"
    "                     [--rate BYTES] [--file-mib N]\n"
    "                     [--misbehave ADDRESS=KIND[:ARG]]...\n"
    "--clip-seconds: length of the generated videos (default 2)\n"
    "--trickle: every video file goes out CHUNK bytes every MS milliseconds\n"
    "--bench-pages: N more video pages, watch?v=bench00001 and on, one file each\n"
    "--https: every video file moves to its https address (a relocation from http); the\n"
    "         second line printed is SSL_CERT_FILE=FILE, the authority to trust; use the\n"
    "         first line as https_proxy as well\n"
    "Pages of other sites are served too: http://html5.example.org/page/7 (HTML5 sources),\n"
    "http://player.example.org/embed/9 (JSON-LD), http://og.example.org/watch/41 (Open\n"
    "Graph), http://files.example.org/clips/Harbour.webm (a direct link), and pages without\n"
    "a file the program fetches: http://plain.example.org/about, http://live.example.org/now\n"
    "--ranges: video files serve byte ranges (206, 416, Accept-Ranges, ETag, If-Range)\n"
    "--rate: every connection to a video file gets BYTES per second at most\n"
    "--file-mib: also serve N MiB of pseudo-random bytes at http://files.example/big.bin\n"
    "KIND: NNN (that status), reset[:BYTES], short[:BYTES], stall[:BYTES], hang,\n"
    "      cut (chunked, no last chunk), trickle[:CHUNK[,MS]], redirect:LOCATION,\n"
    "      times:N (the fault hits only the first N answers), changes (the bytes and the\n"
    "      tag change after the first answer)\n"
    "BYTES defaults to half the body; trickle to 4096 bytes every 50 ms.\n";

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "tamberlo_site: %s\n%s", why.c_str(), kUsage);
    std::exit(2);
}

std::size_t Number(const std::string& text, const std::string& what) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') {
        Fail("not a number for " + what + ": " + text);
    }
    return static_cast<std::size_t>(n);
}

// Applies "ADDRESS=KIND[:ARG]" to the route of ADDRESS (made when the kind needs no body).
void Misbehave(FixtureSite& site, const std::string& rule) {
    // Addresses hold '=' in their queries; a kind does only in a redirect's location.
    std::size_t eq = rule.find("=redirect:");
    if (eq == std::string::npos) {
        eq = rule.rfind('=');
    }
    if (eq == std::string::npos || eq == 0) {
        Fail("--misbehave needs ADDRESS=KIND: " + rule);
    }
    const std::string address = rule.substr(0, eq);
    const std::string spec = rule.substr(eq + 1);
    const std::size_t colon = spec.find(':');
    const std::string kind = spec.substr(0, colon);
    const bool hasArg = colon != std::string::npos;
    const std::string arg = hasArg ? spec.substr(colon + 1) : std::string();

    if (kind.size() == 3 && kind.find_first_not_of("0123456789") == std::string::npos) {
        site.Route(address, Reply::Status(static_cast<int>(Number(kind, "status"))));
        return;
    }
    if (kind == "redirect") {
        if (arg.empty()) {
            Fail("redirect needs a location: " + rule);
        }
        site.Route(address, Reply::Redirect(arg));
        return;
    }
    auto found = site.FindRoute(address);
    if (!found) {
        Fail("no such address to misbehave: " + address);
    }
    Reply r = *found;
    auto bytes = [&] { return hasArg ? Number(arg, kind) : r.body->size() / 2; };
    if (kind == "reset") {
        r.ResetAfter(bytes());
    } else if (kind == "short") {
        r.ShortAfter(bytes());
    } else if (kind == "stall") {
        r.StallAfter(bytes());
    } else if (kind == "hang") {
        r.StallBeforeResponse();
    } else if (kind == "cut") {
        r.CutBeforeLastChunk();
    } else if (kind == "times") {
        r.FaultTimes(static_cast<int>(Number(arg, kind)));
    } else if (kind == "changes") {
        std::string other = *r.body;
        if (!other.empty()) {
            other[0] = static_cast<char>(other[0] ^ 1);
        }
        r.ChangesAfter(1, std::make_shared<const std::string>(std::move(other)), "\"v2\"");
    } else if (kind == "trickle") {
        const std::size_t comma = arg.find(',');
        const std::size_t chunk = hasArg ? Number(arg.substr(0, comma), kind) : 4096;
        const int delay =
            comma == std::string::npos ? 50 : static_cast<int>(Number(arg.substr(comma + 1), kind));
        r.Trickle(chunk, delay);
    } else {
        Fail("unknown kind: " + kind);
    }
    site.Route(address, std::move(r));
}

// Video pages of the form the YouTube branch reads, each with a file of its own, for runs of
// many jobs.
std::vector<std::string> AddBenchPages(FixtureSite& site, const testsupport::DefaultSite& content,
                                       std::size_t count) {
    std::vector<std::string> files;
    for (std::size_t i = 1; i <= count; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "bench%05zu", i);
        const std::string html = std::string("<html><head><title>YouTube - Bench file ") + id +
                                 "</title></head><body><script>var swfArgs = "
                                 "{\"IS_HD_AVAILABLE\": false, \"t\": \"tok\"};</script>"
                                 "</body></html>";
        site.Route(std::string("http://www.youtube.com/watch?v=") + id, Reply::Body(html));
        files.push_back(std::string("http://www.youtube.com/get_video?video_id=") + id + "&t=tok");
        site.Route(files.back(), Reply::Body(content.flv, "video/x-flv"));
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string media = testsupport::DefaultMediaDir();
    std::size_t blobMib = 0;
    int clipSeconds = 2;
    std::size_t trickleChunk = 0;
    int trickleMs = 0;
    std::size_t benchPages = 0;
    bool ranges = false;
    std::size_t rate = 0;
    std::size_t fileMib = 0;
    std::vector<std::string> rules;
    bool https = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail(a + " needs a value");
            }
            return argv[++i];
        };
        if (a == "--port") {
            port = static_cast<int>(Number(value(), a));
        } else if (a == "--media") {
            media = value();
        } else if (a == "--blob-mib") {
            blobMib = Number(value(), a);
        } else if (a == "--clip-seconds") {
            clipSeconds = static_cast<int>(Number(value(), a));
        } else if (a == "--trickle") {
            const std::string v = value();
            const std::size_t comma = v.find(',');
            if (comma == std::string::npos) {
                Fail("--trickle needs CHUNK,MS");
            }
            trickleChunk = Number(v.substr(0, comma), a);
            trickleMs = static_cast<int>(Number(v.substr(comma + 1), a));
        } else if (a == "--bench-pages") {
            benchPages = Number(value(), a);
        } else if (a == "--https") {
            https = true;
        } else if (a == "--ranges") {
            ranges = true;
        } else if (a == "--rate") {
            rate = Number(value(), a);
        } else if (a == "--file-mib") {
            fileMib = Number(value(), a);
        } else if (a == "--misbehave") {
            rules.push_back(value());
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            Fail("unknown argument: " + a);
        }
    }

    // Blocked before any thread starts, so that every thread inherits the mask and only
    // sigwait below takes the signals.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    try {
        FixtureSite site(port);
        const auto content = testsupport::LoadDefaultSite(site, media, blobMib << 20, clipSeconds);
        std::vector<std::string> files = AddBenchPages(site, content, benchPages);
        for (const auto& page : content.pages) {
            if (!page.fileAddress.empty()) {
                for (const char* suffix : {"", "&fmt=18", "&fmt=22"}) {
                    files.push_back(page.fileAddress + suffix);
                }
            }
        }
        if (fileMib > 0) {
            files.push_back("http://files.example/big.bin");
            site.Route(files.back(), Reply::Body(std::make_shared<const std::string>(
                                                     testsupport::PseudoRandomBytes(fileMib << 20)),
                                                 "application/octet-stream"));
        }
        for (const auto& file : files) {
            auto route = site.FindRoute(file);
            if (!route) {
                continue;
            }
            if (trickleChunk > 0) {
                route->Trickle(trickleChunk, trickleMs);
            }
            if (ranges) {
                route->Ranges();
            }
            if (rate > 0) {
                route->Rate(rate);
            }
            site.Route(file, std::move(*route));
        }
        for (const auto& rule : rules) {
            Misbehave(site, rule);
        }
        std::string caFile;
        if (https) {
            caFile = site.CaFile();
            for (const auto& file : files) {
                auto route = site.FindRoute(file);
                if (route && file.starts_with("http://")) {
                    const std::string moved = "https://" + file.substr(7);
                    site.Route(moved, std::move(*route));
                    site.Route(file, Reply::Redirect(moved, 301));
                }
            }
        }
        // Pages of other sites beside the three (with --https the direct link and the Open
        // Graph page are https addresses).
        testsupport::AddOtherSitePages(site, content.mp4, https);
        std::printf("%s\n", site.ProxyUrl().c_str());
        if (!caFile.empty()) {
            std::printf("SSL_CERT_FILE=%s\n", caFile.c_str());
        }
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamberlo_site: %s\n", e.what());
        return 1;
    }
    return 0;
}
