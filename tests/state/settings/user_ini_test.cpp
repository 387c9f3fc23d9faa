// The user's own main settings file of an installed program: its folder, and its first copy of
// the administrator's settings.
#include "state/settings/user_ini.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/files.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

class UserIniTest : public ::testing::Test {
protected:
    void SetUp() override {
        paths_.mainIni = (dir_ / "config" / "korvalo" / "korvalo.ini").string();
        paths_.perUserIni = (dir_ / "config" / "VALDOR" / "korvalo" / "korvalo.ini").string();
        paths_.defaultsIni = (dir_ / "etc" / "korvalo.ini").string();
        fs::create_directories(dir_ / "etc");
    }
    static unsigned Mode(const fs::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
    }
    // The folder holds nothing but the main file (no temporary copy was left behind).
    void ExpectOnlyTheMainFile() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_ / "config" / "korvalo"))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"korvalo.ini"});
    }

    TempDir dir_;
    SettingsPaths paths_;
};

TEST_F(UserIniTest, ABuildFolderProgramIsLeftAlone) {
    paths_.defaultsIni.clear();
    WriteBytes(dir_ / "etc" / "korvalo.ini", "[Main]\ndebug=true\n");
    const UserIniOutcome outcome = PrepareUserIni(paths_);
    EXPECT_FALSE(outcome.copied);
    EXPECT_EQ(outcome.error, "");
    EXPECT_FALSE(fs::exists(dir_ / "config"));
}

TEST_F(UserIniTest, WithoutAnAdministratorsFileOnlyThePrivateFolderIsMade) {
    const UserIniOutcome outcome = PrepareUserIni(paths_);
    EXPECT_FALSE(outcome.copied);
    EXPECT_EQ(outcome.error, "");
    EXPECT_TRUE(fs::is_directory(dir_ / "config" / "korvalo"));
    EXPECT_EQ(Mode(dir_ / "config" / "korvalo"), 0700u);
    EXPECT_FALSE(fs::exists(paths_.mainIni));
}

TEST_F(UserIniTest, TheFirstUseCopiesTheAdministratorsFileAndLaterUsesKeepTheUsers) {
    const std::string admin = "[Main]\r\nhashAlgOID=1.2.3\r\n[proxy]\r\nproxyAddress=10.0.0.1\r\n";
    WriteBytes(dir_ / "etc" / "korvalo.ini", admin);
    UserIniOutcome outcome = PrepareUserIni(paths_);
    EXPECT_TRUE(outcome.copied);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(ReadBytes(paths_.mainIni), admin);
    EXPECT_EQ(Mode(paths_.mainIni), 0600u);
    ExpectOnlyTheMainFile();

    // The user changes the file; the administrator changes theirs: the user's stays.
    WriteBytes(paths_.mainIni, "[Main]\ndebug=true\n");
    WriteBytes(dir_ / "etc" / "korvalo.ini", "[Main]\navCrypt=true\n");
    outcome = PrepareUserIni(paths_);
    EXPECT_FALSE(outcome.copied);
    EXPECT_EQ(ReadBytes(paths_.mainIni), "[Main]\ndebug=true\n");

    // Whatever stands at the main file's path is never replaced, a link included.
    fs::remove(paths_.mainIni);
    fs::create_symlink(dir_ / "nowhere.ini", paths_.mainIni);
    outcome = PrepareUserIni(paths_);
    EXPECT_FALSE(outcome.copied);
    EXPECT_TRUE(fs::is_symlink(paths_.mainIni));
    EXPECT_FALSE(fs::exists(dir_ / "nowhere.ini"));
}

TEST_F(UserIniTest, AnAdministratorsFileThatCannotBeCopiedIsReportedAndNothingIsMade) {
    struct Case {
        const char* what;
        void (*make)(const fs::path& admin);
    };
    const Case cases[] = {
        {"a folder", [](const fs::path& admin) { fs::create_directory(admin); }},
        {"too large",
         [](const fs::path& admin) {
             WriteBytes(admin, std::string(kMaxAdministratorIniBytes + 1, ';'));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path admin = dir_ / "etc" / "korvalo.ini";
        fs::remove_all(admin);
        c.make(admin);
        const UserIniOutcome outcome = PrepareUserIni(paths_);
        EXPECT_FALSE(outcome.copied);
        EXPECT_NE(outcome.error.find(admin.string()), std::string::npos) << outcome.error;
        EXPECT_FALSE(fs::exists(paths_.mainIni));
        EXPECT_TRUE(fs::is_empty(dir_ / "config" / "korvalo"));
    }
}

TEST_F(UserIniTest, AFolderThatCannotBeMadeIsReported) {
    WriteBytes(dir_ / "config", "a file where the folder belongs");
    WriteBytes(dir_ / "etc" / "korvalo.ini", "[Main]\n");
    const UserIniOutcome outcome = PrepareUserIni(paths_);
    EXPECT_FALSE(outcome.copied);
    EXPECT_NE(outcome.error.find((dir_ / "config" / "korvalo").string()), std::string::npos)
        << outcome.error;
}

}  // namespace
}  // namespace korvalo
