// Whole runs against pages and servers that try to misuse what the program sends or shows:
// request lines built from a page's token, titles that leave no name, a redirect loop and a
// reason phrase with line breaks.

#include "tests/app/RunFixture.h"

using namespace runtest;

namespace {

TEST_F(Run, HostilePagesAndServersGiveOneRequestEachAndPlainLines) {
    // The token tries to end the request line early and add a header and a second request.
    const std::string injectJob = "http://www.youtube.com/watch?v=inject00001";
    site_.Route(injectJob, Reply::Body("<html><title>YouTube - Injected</title><script>var a = {"
                                       "\"IS_HD_AVAILABLE\": false, \"t\": \"tok HTTP/1.1\r\nHost: "
                                       "intranet.example\r\nX-Injected: yes\r\n\r\nGET "
                                       "http://intranet.example/admin\"};</script></html>"));
    const std::string injectFile =
        "http://www.youtube.com/get_video?video_id=inject00001&t=tok%20HTTP/1.1%0D%0AHost:"
        "%20intranet.example%0D%0AX-Injected:%20yes%0D%0A%0D%0AGET%20http://intranet.example/"
        "admin";
    site_.Route(injectFile, Reply::Body(content_.flv, "video/x-flv"));
    // Titles that leave no name: each job is named by its video's id.
    const OwnPage empty1 = AddYouTubePage(site_, "empty000001", "");
    const OwnPage empty2 = AddYouTubePage(site_, "empty000002", "&quot; &nbsp;");
    site_.Route(empty1.file, Reply::Body(content_.flv, "video/x-flv"));
    site_.Route(empty2.file, Reply::Body(content_.flv, "video/x-flv"));
    const OwnPage loop = AddYouTubePage(site_, "loop0000001", "Loop");
    site_.Route(loop.file, Reply::Redirect(loop.file));
    const OwnPage gone = AddYouTubePage(site_, "gone0000001", "Gone");
    Reply goneReply = Reply::Status(404);
    goneReply.reason = "Gone\r\x01";
    site_.Route(gone.file, goneReply);

    NewJobs(0, {injectJob, empty1.job, empty2.job, loop.job, gone.job});
    Start();

    EXPECT_TRUE(ReadFile(Out("Injected.flv")) == *content_.flv);
    EXPECT_TRUE(ReadFile(Out("empty000001.flv")) == *content_.flv);
    EXPECT_TRUE(ReadFile(Out("empty000002.flv")) == *content_.flv);
    EXPECT_FALSE(platform::FileExists(Out(".flv")));
    EXPECT_EQ(ErrorLines(), (std::vector<std::string>{
                                "Download failed: Loop.flv from " + loop.job +
                                    " (too many relocations: 302 Found)",
                                "Download failed: Gone.flv from " + gone.job + " (404 Gone)",
                            }));
    int fileRequests = 0;
    for (const auto& r : site_.RecordedRequests()) {
        EXPECT_NE(r.address.rfind("http://intranet", 0), 0u) << r.line;
        for (const auto& h : r.headers) {
            EXPECT_EQ(h.find("X-Injected"), std::string::npos) << r.line;
            EXPECT_EQ(h.find("intranet"), std::string::npos) << r.line;
        }
        fileRequests += r.address == FixtureSite::NormaliseAddress(injectFile) ? 1 : 0;
    }
    EXPECT_EQ(fileRequests, 1);
}

}  // namespace
