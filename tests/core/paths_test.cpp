// Where the program's files are: beside the executable in a build folder, in the user's own
// folders once installed.
#include "core/paths.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include "support/files.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteBytes;

// A build folder and an installed folder, each with an executable "korvalo", and an
// environment that the test sets and that is put back afterwards.
class ProgramFilesTest : public ::testing::Test {
protected:
    static constexpr const char* kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                                                 "KORVALO_INI"};

    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
            ::unsetenv(name);
        }
        ::setenv("HOME", (dir_ / "home").c_str(), 1);
        fs::create_directories(dir_ / "build" / "bin");
        fs::create_directories(dir_ / "usr" / "lib" / "korvalo");
        WriteBytes(dir_ / "build" / "bin" / "korvalo", "");
        WriteBytes(dir_ / "usr" / "lib" / "korvalo" / "korvalo", "");
        WriteBytes(dir_ / "usr" / "lib" / "korvalo" / kInstalledMarker, "installed\n");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    std::string Built() const { return (dir_ / "build" / "bin" / "korvalo").string(); }
    std::string Installed() const {
        return (dir_ / "usr" / "lib" / "korvalo" / "korvalo").string();
    }
    std::string Home(const std::string& below) const { return (dir_ / "home" / below).string(); }

    TempDir dir_;
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(ProgramFilesTest, ABuildFolderKeepsItsFilesBesideTheExecutable) {
    ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    const ProgramFiles files = ProgramFilesOf(Built());
    EXPECT_FALSE(files.installed);
    EXPECT_EQ(files.mainIni, (dir_ / "build" / "bin" / "korvalo.ini").string());
    EXPECT_EQ(files.defaultsIni, "");
    EXPECT_EQ(files.perUserIni, Home(".config/VALDOR/korvalo/korvalo.ini"));
    EXPECT_EQ(files.protocolFile, (dir_ / "build" / "bin" / "request.txt").string());
}

TEST_F(ProgramFilesTest, AnInstalledProgramKeepsThemInTheUsersFolders) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> env;
        std::string mainIni, defaultsIni, perUserIni, protocolFile;
    };
    const std::string x = dir_.path().string();
    const Case cases[] = {
        {"defaults below HOME",
         {},
         Home(".config/korvalo/korvalo.ini"),
         kAdministratorIniPath,
         Home(".config/VALDOR/korvalo/korvalo.ini"),
         Home(".local/state/korvalo/request.txt")},
        {"XDG folders",
         {{"XDG_CONFIG_HOME", x + "/cfg"}, {"XDG_STATE_HOME", x + "/st/"}},
         x + "/cfg/korvalo/korvalo.ini",
         kAdministratorIniPath,
         x + "/cfg/VALDOR/korvalo/korvalo.ini",
         x + "/st/korvalo/request.txt"},
        {"relative XDG folders are not valid",
         {{"XDG_CONFIG_HOME", "cfg"}, {"XDG_STATE_HOME", "st"}},
         Home(".config/korvalo/korvalo.ini"),
         kAdministratorIniPath,
         Home(".config/VALDOR/korvalo/korvalo.ini"),
         Home(".local/state/korvalo/request.txt")},
        {"KORVALO_INI names the main file, made from nothing",
         {{"KORVALO_INI", x + "/k.ini"}},
         x + "/k.ini",
         "",
         Home(".config/VALDOR/korvalo/korvalo.ini"),
         Home(".local/state/korvalo/request.txt")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "KORVALO_INI"})
            ::unsetenv(name);
        for (const auto& [name, value] : c.env)
            ::setenv(name.c_str(), value.c_str(), 1);
        const ProgramFiles files = ProgramFilesOf(Installed());
        EXPECT_TRUE(files.installed);
        EXPECT_EQ(files.mainIni, c.mainIni);
        EXPECT_EQ(files.defaultsIni, c.defaultsIni);
        EXPECT_EQ(files.perUserIni, c.perUserIni);
        EXPECT_EQ(files.protocolFile, c.protocolFile);
        // The per-user proxy file never coincides with the main file.
        EXPECT_NE(files.perUserIni, files.mainIni);
    }
}

TEST_F(ProgramFilesTest, OnlyARegularMarkerFileCounts) {
    const fs::path bin = dir_ / "build" / "bin";
    fs::create_directory(bin / kInstalledMarker);
    EXPECT_FALSE(IsInstalledFolder(bin.string()));
    fs::remove(bin / kInstalledMarker);
    fs::create_symlink(dir_ / "usr" / "lib" / "korvalo" / kInstalledMarker, bin / kInstalledMarker);
    EXPECT_FALSE(ProgramFilesOf(Built()).installed);
    EXPECT_TRUE(IsInstalledFolder((dir_ / "usr" / "lib" / "korvalo").string() + "/"));
}

TEST(CreatePrivateFolders, MakesMissingFoldersPrivateAndLeavesExistingOnes) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const fs::path deep = dir / "a" / "b" / "c";
    ASSERT_TRUE(CreatePrivateFolders(deep.string()));
    for (const fs::path& made : {dir / "a", dir / "a" / "b", deep}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
    }
    struct stat st {};
    ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_TRUE(CreatePrivateFolders(deep.string() + "/"));  // already there

    WriteBytes(dir / "file", "x");
    EXPECT_FALSE(CreatePrivateFolders((dir / "file").string()));
    EXPECT_FALSE(CreatePrivateFolders((dir / "file" / "below").string()));
    EXPECT_FALSE(CreatePrivateFolders(""));
}

}  // namespace
}  // namespace korvalo
