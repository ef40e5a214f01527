// Whole runs of pages of other sites, pasted beside one of the served sites: every page shape
// of the offline site, its file stored byte for byte or its own error line.

#include "tests/app/RunFixture.h"

using namespace runtest;

TEST_F(Run, PagesOfOtherSitesGiveTheirFilesAtTheirOwnNames) {
    setenv("SSL_CERT_FILE", site_.CaFile().c_str(), 1);
    setenv("https_proxy", site_.ProxyUrl().c_str(), 1);
    const auto pages = testsupport::AddOtherSitePages(site_, content_.mp4, true);
    std::vector<std::string> jobs;
    std::vector<std::string> expectedErrors;
    for (const auto& page : pages) {
        jobs.push_back(page.job);
        if (!page.failure.empty()) {
            expectedErrors.push_back(page.failure + page.job);
        }
    }
    const OwnPage served = AddYouTubePage(site_, "oth0000001A", "Served Site");
    site_.Route(served.file + "&fmt=18", Reply::Body(content_.mp4, "video/mp4"));
    jobs.push_back(served.job);
    form_->Quality = 2;  // HD: the largest source; no quality suffix on other sites' files
    AddJobs(jobs);
    ASSERT_EQ(form_->Jobs().size(), jobs.size());
    Start();
    unsetenv("https_proxy");
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(ErrorLines(), expectedErrors);
    for (const auto& page : pages) {
        if (!page.name.empty()) {
            EXPECT_TRUE(ReadFile(Out(page.name)) == *content_.mp4) << page.shape;
            EXPECT_TRUE(Requested(page.file)) << page.shape;
        }
    }
    // A direct file is asked for once, by the page loader, which leaves its body to the
    // transfer; the served site still gets its quality suffix.
    EXPECT_FALSE(Requested("http://media.example.org/v/clip-360.webm"));
    EXPECT_TRUE(ReadFile(Out("Served Site.mp4")) == *content_.mp4);
}

TEST_F(Run, AWebmOfAnotherSiteIsDownloadedAndConverted) {
    const auto pages = testsupport::AddOtherSitePages(site_, content_.mp4, false);
    NewJobs(1, {pages[0].job});
    form_->cbFormat->setCurrentIndex(kAviProfile);
    Start();
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{});
    EXPECT_TRUE(ReadFile(Out("Harbour.webm")) == *content_.mp4);
    EXPECT_EQ(ContainerOf(Out("Harbour.avi")), "avi");
}
