// The request's temporary files: in the private folder only, never through a planted link,
// never shared by two requests, removed when the request has ended.

#include <sys/stat.h>

#include <filesystem>
#include <future>

#include "core/timestamp.h"
#include "services/endpoint/endpoint_fixture.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using namespace korvalo::testing;

class DispatcherTempTest : public EndpointFixture {
protected:
    std::vector<std::string> FilesInFolder() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(tempFolder_, ec))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

// A link planted under the names of the coming seconds is never followed: the message goes to
// a file of its own and what the link points to stays as it was.
TEST_F(DispatcherTempTest, APlantedLinkIsNeverFollowed) {
    Start();
    fs::create_directory(tempFolder_);
    ::chmod(tempFolder_.c_str(), 0700);
    WriteBytes(root_ / "victim", "precious");
    const auto now = Clock::now();
    std::vector<std::string> planted;
    for (int s = 0; s < 3; ++s) {
        planted.push_back(TempFileStem(now + std::chrono::seconds(s)) + ".htm");
        fs::create_symlink(root_ / "victim", fs::path(tempFolder_) / planted.back());
    }
    dialogs_.Queue({.code = 1, .signature = "SIG"});
    Send(Get("urlToAnswer=A&urlToRedirect=B&crpt_message=overwrite"));
    const auto calls = dialogs_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].fileName.ends_with("_2.htm")) << calls[0].fileName;
    EXPECT_EQ(calls[0].fileContent, "overwrite");
    EXPECT_EQ(uploader_.Uploads().at(0).fileContent, "overwrite");
    EXPECT_EQ(ReadBytes(root_ / "victim"), "precious");
    for (const std::string& name : planted)
        EXPECT_TRUE(fs::is_symlink(fs::path(tempFolder_) / name)) << name;
}

// A folder that is not the user's private one is refused with a log line naming the reason;
// the request fails as with a folder that cannot be made: no dialog, nothing written.
TEST_F(DispatcherTempTest, AFolderOpenToOthersOrALinkIsRefused) {
    Start();
    fs::create_directory(tempFolder_);
    ::chmod(tempFolder_.c_str(), 0777);
    dialogs_.SetDefault({.code = 1, .signature = "SIG"});
    Send(Get("urlToAnswer=A&urlToRedirect=B&crpt_message=m"));
    EXPECT_TRUE(dialogs_.Calls().empty());
    EXPECT_EQ(log_.Matching("Временная папка " + tempFolder_ +
                            " не используется: папка доступна другим пользователям (права 0777)")
                  .size(),
              1u);
    EXPECT_TRUE(FilesInFolder().empty());
    ASSERT_EQ(uploader_.Uploads().size(), 1u);  // as today: the upload has no file to send
    EXPECT_EQ(uploader_.Uploads()[0].job.fileName, "");

    // The folder replaced by a link to a private folder: refused as well, for a batch too.
    fs::remove(tempFolder_);
    fs::create_directory(root_ / "elsewhere");
    ::chmod((root_ / "elsewhere").c_str(), 0700);
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "Korvalo");
    dialogs_.Queue({.code = 1, .jobSigns = {"S"}});
    EXPECT_TRUE(
        Send(Post(R"({"urlToAnswer":"A","files":[{"id":1,"data64":"YQ=="}]})", "application/json"))
            .starts_with("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"));
    EXPECT_EQ(log_.Matching("не используется: это символическая ссылка").size(), 1u);
    EXPECT_EQ(log_.Matching("Except onCommandGet").size(), 1u);
    EXPECT_TRUE(fs::is_empty(root_ / "elsewhere"));
    EXPECT_EQ(uploader_.Uploads().size(), 1u);
    EXPECT_TRUE(dispatcher_->SignEnabled());
}

// A request that writes its message while an earlier one still uploads gets a file of its own
// (a suffix when it is the same second), each upload sends its own request's message, and
// every file is gone once its request has ended.
TEST_F(DispatcherTempTest, TwoRequestsNeverShareAFileAndEndWithout) {
    Start();
    std::promise<void> aUploading;
    std::promise<void> releaseA;
    std::shared_future<void> releaseASignal = releaseA.get_future().share();
    std::string aFileDuringB;
    uploader_.during = [&](const UploadJob& job) {
        if (job.url == "A") {
            aUploading.set_value();
            releaseASignal.wait();
        }
    };
    dialogs_.Queue({.code = 1, .signature = "A-SIG"});
    dialogs_.Queue({.code = 1, .signature = "B-SIG"});
    auto a = std::async(std::launch::async,
                        [&] { return Send(Get("urlToAnswer=A&urlToRedirect=R&crpt_message=a")); });
    aUploading.get_future().wait();
    Send(Get("urlToAnswer=B&urlToRedirect=R&crpt_message=b"));
    releaseA.set_value();
    a.get();

    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 2u);
    const std::string& aFile = uploads[0].job.fileName;
    const std::string& bFile = uploads[1].job.fileName;
    EXPECT_NE(aFile, bFile);
    EXPECT_EQ(uploads[0].fileContent, "a");
    EXPECT_EQ(uploads[1].fileContent, "b");
    const std::string aName = fs::path(aFile).stem().string();
    const std::string bName = fs::path(bFile).stem().string();
    if (bName.starts_with(aName)) {  // the same second
        EXPECT_EQ(bName, aName + "_2");
    }
    // The message files hold the person's messages: none is left behind.
    EXPECT_TRUE(FilesInFolder().empty());

    // Neither is a batch answer.
    dialogs_.Queue({.code = 1, .jobSigns = {"S"}});
    Send(Post(R"({"urlToAnswer":"C","files":[{"id":1,"data64":"YQ=="}]})", "application/json"));
    ASSERT_EQ(uploader_.Uploads().size(), 3u);
    EXPECT_TRUE(uploader_.Uploads()[2].fileContent.starts_with("{\"urlToAnswer\":\"C\""));
    EXPECT_TRUE(FilesInFolder().empty());
}

}  // namespace
}  // namespace korvalo
