// Whole runs whose files have moved to https, tunnelled through https_proxy to the offline
// site, which the run trusts through SSL_CERT_FILE.

#include "tests/app/RunFixture.h"

using namespace runtest;

TEST_F(Run, FilesMovedToHttpsArriveWholeAndCertificateFailuresAreErrorLines) {
    setenv("SSL_CERT_FILE", site_.CaFile().c_str(), 1);
    setenv("https_proxy", site_.ProxyUrl().c_str(), 1);
    site_.Route(kYouTubeHdFile, Reply::Redirect("https://www.youtube.com/moved/hd.flv"));
    site_.Route("https://www.youtube.com/moved/hd.flv", Reply::Body(content_.flv, "video/x-flv"));
    struct Failing {
        const char* host;
        const char* reason;
    };
    const Failing failing[] = {
        {"expired.example.com", "the certificate of expired.example.com has expired"},
        {"untrusted.example.com", "the certificate of untrusted.example.com is not trusted"},
        {"othername.example.com", "the certificate of othername.example.com is for another name"},
        {"refuse.example.com",
         "the proxy refused the tunnel to refuse.example.com:443: 403 Forbidden"},
    };
    std::vector<std::string> jobs = {kYouTubeHd};
    std::vector<std::string> expected;
    std::vector<std::string> names;
    int n = 0;
    for (const Failing& f : failing) {
        const OwnPage page = AddYouTubePage(site_, "tls0000000" + std::to_string(++n), f.host);
        const std::string moved = std::string("https://") + f.host + "/v.flv";
        site_.Route(page.file, Reply::Redirect(moved));
        site_.Route(moved, Reply::Body(content_.flv, "video/x-flv"));
        jobs.push_back(page.job);
        names.push_back(page.name);
        expected.push_back("Download failed: " + page.name + " from " + page.job + " (" + f.reason +
                           ")");
    }
    AddJobs(jobs);
    Start();
    unsetenv("https_proxy");
    unsetenv("SSL_CERT_FILE");
    EXPECT_TRUE(ReadFile(Out(kYouTubeHdName + ".flv")) == *content_.flv);
    EXPECT_EQ(ErrorLines(), expected);
    for (const std::string& name : names) {
        EXPECT_FALSE(std::filesystem::exists(Out(name))) << name;
    }
}
