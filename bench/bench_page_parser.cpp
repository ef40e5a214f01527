// Time of one parse pass over captured pages of 64 KB, 1 MB and 8 MB, and of a hostile title.
// The page stage parses the whole page on every poll pass, many times a second.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "retrieval/PageParser.h"
#include "retrieval/TitleToFileName.h"

namespace {

using Clock = std::chrono::steady_clock;

// Page body that looks like a long related-videos list: tags, quotes, entities, scripts.
std::string Filler(std::size_t size) {
    static const char* rows[] = {
        "<div class=\"video-entry\"><a href=\"/watch?v=aB3dE5fG7hI\" title=\"Related &amp; more\">",
        "<img src=\"http://i.ytimg.example/vi/aB3dE5fG7hI/default.jpg\" alt=\"\" /></a></div>\n",
        "<script type=\"text/javascript\">var cfg = {'LIST': ['x', 'y'], 'N': 12};</script>\n",
        "<span class=\"views\">1,234 views &nbsp;|&nbsp; 3 weeks ago</span>\n",
        "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit; Sed do eiusmod tempor.</p>\n",
    };
    std::string page = "<html><head><link rel=\"stylesheet\" href=\"/base.css\"></head><body>\n";
    page.reserve(size + 256);
    for (std::size_t i = 0; page.size() < size; ++i) {
        page += rows[i % 5];
    }
    page.resize(size);
    return page;
}

struct Scenario {
    const char* name;
    const char* job;
    std::string tail;  // markers placed at the very end: every search crosses the whole page
};

double MedianMicros(const std::string& page, const char* job, int passes) {
    std::vector<double> times;
    times.reserve(passes);
    for (int i = 0; i < passes; ++i) {
        const auto start = Clock::now();
        const PassResult r = ParsePage(page, job, {}, [] { return 1u; });
        const auto stop = Clock::now();
        if (r.outcome == PassOutcome::StopRun) {
            std::puts("unexpected age gate");
        }
        times.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main() {
    const std::vector<Scenario> scenarios = {
        {"youtube, loading", "http://www.youtube.com/watch?v=Qz3kT0pLmW8", ""},
        {"youtube, resolves", "http://www.youtube.com/watch?v=Qz3kT0pLmW8",
         "<title>YouTube - End</title>{\"t\": \"tok\"} IS_HD_AVAILABLE\": true"},
        {"metacafe, resolves", "http://www.metacafe.com/watch/1/x/",
         "<title>End - Video</title>%2520a%2520end.flv"},
        {"google, resolves", "http://video.google.com/videoplay?docid=1",
         "<title>End</title><a href=\"http://vp.video.google.com/f\">this link</a>"},
    };
    const std::size_t sizes[] = {64u << 10, 1u << 20, 8u << 20};

    std::printf("%-20s %10s %14s %12s\n", "page", "size", "us per pass", "MB/s");
    for (const auto& scenario : scenarios) {
        for (std::size_t size : sizes) {
            const std::string page = Filler(size - scenario.tail.size()) + scenario.tail;
            const int passes = size >= (8u << 20) ? 30 : (size >= (1u << 20) ? 200 : 2000);
            const double us = MedianMicros(page, scenario.job, passes);
            std::printf("%-20s %9zuK %14.1f %12.0f\n", scenario.name, size >> 10, us,
                        static_cast<double>(size) / us);
        }
    }

    // Near misses of every marker, back to back: the anchors agree everywhere and each candidate
    // is compared almost to its end. No real page looks like this; it bounds the worst case.
    {
        const std::string nearMisses =
            "confirm birth datX please verify you are 18 or oldeX verify_agX IS_HD_AVAILABLX "
            "This functionality is not available right noX <title>YouTube -X \"t\"X &tX ";
        std::string page;
        while (page.size() < (8u << 20)) {
            page += nearMisses;
        }
        const double us = MedianMicros(page, "http://www.youtube.com/watch?v=x", 10);
        std::printf("%-20s %9zuK %14.1f %12.0f\n", "youtube, near misses", page.size() >> 10, us,
                    static_cast<double>(page.size()) / us);
    }

    // A title of megabytes made of nested "&amp;" runs, as a hostile page could carry.
    for (std::size_t runs : {100000u, 1000000u}) {
        std::string title;
        for (std::size_t i = 0; i < runs; ++i) {
            title += "&amp;amp;amp;";
        }
        const auto start = Clock::now();
        const std::string name = TitleToFileName(title);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("hostile title %5zu KB -> %zu bytes in %.1f ms\n", title.size() >> 10,
                    name.size(), ms);
    }
    // A page whose title never ends hands its whole rest over as the title.
    {
        const std::string title = Filler(8u << 20);
        const auto start = Clock::now();
        const std::string name = TitleToFileName(title);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("plain title   %5zu KB -> %zu bytes in %.1f ms\n", title.size() >> 10,
                    name.size(), ms);
    }
    return 0;
}
