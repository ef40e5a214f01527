// Every captured page in the fixtures folder against the outcome listed for it in pages.tsv, and
// every page cut off at every byte against all three sites.

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "retrieval/PageParser.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kPagesDir = std::string(TAMBERLO_FIXTURES_DIR) + "/pages/";

struct Expectation {
    std::string file;
    std::string job;
    std::string outcome;
    bool hd = false;
    std::string fileName;
    std::string fileUrl;
};

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        fields.push_back(field == "-" ? "" : field);
    }
    return fields;
}

std::vector<Expectation> LoadManifest() {
    std::vector<Expectation> rows;
    std::ifstream in(kPagesDir + "pages.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto f = SplitTabs(line);
        if (f.size() < 5) {
            ADD_FAILURE() << "short manifest line: " << line;
            continue;
        }
        rows.push_back({f[0], f[1], f[2], f[3] == "1", f[4], f.size() > 5 ? f[5] : ""});
    }
    return rows;
}

std::string OutcomeName(PassOutcome outcome) {
    switch (outcome) {
        case PassOutcome::Resolved:
            return "Resolved";
        case PassOutcome::PollAgain:
            return "PollAgain";
        case PassOutcome::GiveUpAttempt:
            return "GiveUpAttempt";
        case PassOutcome::StopRun:
            return "StopRun";
    }
    return "?";
}

bool IsGoogleFallbackName(const std::string& name) {
    const std::string prefix = "GoogleVideo";
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() ||
        name.size() > prefix.size() + 3) {
        return false;
    }
    const std::string digits = name.substr(prefix.size());
    return digits.find_first_not_of("0123456789") == std::string::npos && std::stoi(digits) <= 255;
}

TEST(FixturePages, EachPageGivesItsListedOutcome) {
    const auto rows = LoadManifest();
    ASSERT_GE(rows.size(), 19u);
    for (const auto& row : rows) {
        const std::string page = testsupport::ReadFile(kPagesDir + row.file);
        ASSERT_FALSE(page.empty()) << row.file;
        PageState start;
        start.Mode = 1;
        const PassResult r = ParsePage(page, row.job, start, [] { return 99u; });
        EXPECT_EQ(OutcomeName(r.outcome), row.outcome) << row.file;
        EXPECT_EQ(r.state.HDAvailable, row.hd) << row.file;
        if (row.fileName == "GoogleVideo#") {
            EXPECT_TRUE(IsGoogleFallbackName(r.state.eFileName)) << r.state.eFileName;
        } else {
            EXPECT_EQ(r.state.eFileName, row.fileName) << row.file;
        }
        EXPECT_EQ(r.state.eDownloadUrl, row.fileUrl) << row.file;
        EXPECT_EQ(r.message.empty(), r.outcome != PassOutcome::StopRun) << row.file;
        const bool google = row.file.rfind("gv_", 0) == 0;
        EXPECT_EQ(r.state.Mode, google ? 0 : 1) << row.file;
    }
}

TEST(FixturePages, ParsingAgainWithTheResultChangesNothing) {
    // The poll loop feeds each pass's state into the next one over the same page.
    for (const auto& row : LoadManifest()) {
        const std::string page = testsupport::ReadFile(kPagesDir + row.file);
        const PassResult first = ParsePage(page, row.job, {}, [] { return 5u; });
        const PassResult second = ParsePage(page, row.job, first.state, [] { return 6u; });
        EXPECT_EQ(second.outcome, first.outcome) << row.file;
        EXPECT_EQ(second.state.eFileName, first.state.eFileName) << row.file;
        EXPECT_EQ(second.state.eDownloadUrl, first.state.eDownloadUrl) << row.file;
        EXPECT_EQ(second.state.HDAvailable, first.state.HDAvailable) << row.file;
    }
}

void CheckInvariants(const PassResult& r, const std::string& what) {
    switch (r.outcome) {
        case PassOutcome::Resolved:
            ASSERT_FALSE(r.state.eDownloadUrl.empty()) << what;
            ASSERT_TRUE(r.message.empty()) << what;
            break;
        case PassOutcome::StopRun:
            ASSERT_FALSE(r.message.empty()) << what;
            break;
        case PassOutcome::PollAgain:
        case PassOutcome::GiveUpAttempt:
            ASSERT_TRUE(r.message.empty()) << what;
            break;
    }
}

TEST(FixturePages, EveryCutOffPageIsHandledForEverySite) {
    const char* jobs[] = {
        "http://www.youtube.com/watch?v=Cut0ff",
        "http://www.metacafe.com/watch/1/cut/",
        "http://video.google.com/videoplay?docid=1",
    };
    for (const auto& row : LoadManifest()) {
        const std::string page = testsupport::ReadFile(kPagesDir + row.file);
        for (std::size_t cut = 0; cut <= page.size(); ++cut) {
            // A copy of exactly the cut length, so that a read past its end is caught by the
            // sanitizer build.
            const std::string prefix = page.substr(0, cut);
            for (const char* job : jobs) {
                CheckInvariants(ParsePage(prefix, job, {}, [] { return 1u; }),
                                row.file + " cut at " + std::to_string(cut));
            }
        }
    }
}

TEST(FixturePages, RandomMixturesOfMarkersAreHandled) {
    const std::vector<std::string> pieces = {
        "<title>",
        "</title>",
        "/title>",
        "<title>YouTube - ",
        "meta name=\"title\" content=\"",
        "\"t\":",
        "&t=",
        "\"",
        "&",
        "IS_HD_AVAILABLE",
        "true",
        "%2520",
        ".flv",
        ".FLV",
        "- Video",
        "href=\"",
        "http://",
        "vp.video.google.com",
        "\">this link",
        "verify_age",
        "18",
        "&amp;",
        "&nbsp;",
        std::string(1, '\0'),
        "\x01",
        "a",
        " ",
        "/:?*",
    };
    const char* jobs[] = {
        "http://www.youtube.com/watch?v=R&feature=x",
        "http://www.metacafe.com/watch/2/r/",
        "http://video.google.com/videoplay?docid=2",
        "http://www.youtube.com/watch",
    };
    std::mt19937 rng(4242);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> count(0, 24);
    for (int round = 0; round < 20000; ++round) {
        std::string page;
        for (int n = count(rng); n > 0; --n) {
            page += pieces[pick(rng)];
        }
        const char* job = jobs[round % 4];
        const PassResult r = ParsePage(page, job, {}, [] { return 3u; });
        CheckInvariants(r, page);
        if (r.outcome == PassOutcome::Resolved && round % 4 == 1) {
            ASSERT_EQ(r.state.eDownloadUrl.rfind("http://video.metacafe.com/ItemFiles/", 0), 0u);
        }
    }
}

}  // namespace
