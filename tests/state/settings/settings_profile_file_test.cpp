#include "state/settings/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "support/files.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
protected:
    void Put(const std::string& bytes) const { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string Get() const { return testing::ReadBytesOrEmpty(path_); }
    std::vector<std::string> DirEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        return names;
    }

    testing::TempDir temp_;
    const fs::path dir_ = temp_.path();
    std::string path_ = (dir_ / "korvalo.ini").string();
};

TEST_F(ProfileFileTest, MatchesNamesWithoutCaseAndTakesTheFirstMatch) {
    Put("orphan=before any section\n"
        "; proxyAddress=commented out\n"
        "[ Proxy ]\n"
        "  ProxyAddress  =  10.0.0.1  \n"
        "proxyaddress=second\n"
        "proxyPort=\"3128\"\n"
        "quoted=' a b '\n"
        "half=\"open\n"
        "empty=\n"
        "no value line\n"
        "[proxy]\n"
        "useAutoProxy=true\n"
        "[Секция]\n"
        "Ключ=значение\n");
    const ProfileFile f(path_);
    EXPECT_EQ(f.Find("proxy", "proxyaddress"), "10.0.0.1");
    EXPECT_EQ(f.Find("PROXY", "PROXYADDRESS"), "10.0.0.1");
    EXPECT_EQ(f.Find("proxy", "proxyPort"), "3128");  // quotes around the value go
    EXPECT_EQ(f.Find("proxy", "quoted"), " a b ");
    EXPECT_EQ(f.Find("proxy", "half"), "\"open");
    EXPECT_EQ(f.Find("proxy", "empty"), "");
    EXPECT_EQ(f.Find("proxy", "no value line"), std::nullopt);
    // Only the first [proxy] section is read.
    EXPECT_EQ(f.Find("proxy", "useAutoProxy"), std::nullopt);
    EXPECT_EQ(f.Find("", "orphan"), std::nullopt);
    EXPECT_EQ(f.Find("Proxy", "; proxyAddress"), std::nullopt);
    EXPECT_EQ(f.Find("секция", "КЛЮЧ"), "значение");
    EXPECT_EQ(f.Find("Main", "debug"), std::nullopt);
    EXPECT_EQ(f.ReadString("Main", "debug", "dflt"), "dflt");
}

TEST_F(ProfileFileTest, MissingFileReadsEmptyAndUnreadableFileThrows) {
    const ProfileFile missing((dir_ / "none.ini").string());
    EXPECT_EQ(missing.Find("Main", "debug"), std::nullopt);
    EXPECT_EQ(missing.Text(), "");

    fs::create_directory(dir_ / "folder.ini");
    EXPECT_THROW(ProfileFile((dir_ / "folder.ini").string()), std::system_error);
    // An update never replaces what it could not read.
    EXPECT_THROW(ProfileFile::Update((dir_ / "folder.ini").string(),
                                     [](ProfileFile& f) { f.WriteString("Main", "k", "v"); }),
                 std::system_error);
    EXPECT_TRUE(fs::is_directory(dir_ / "folder.ini"));
}

TEST_F(ProfileFileTest, WriteReplacesOnlyTheFirstMatchingValueAndKeepsEveryOtherLine) {
    const std::string before =
        "; Korvalo settings\r\n"
        "[Proxy]\r\n"
        "ProxyServer=old.proxy:8080\r\n"
        "  proxyAddress = 10.0.0.1\r\n"
        "unknownKey=kept\r\n"
        "PROXYADDRESS=duplicate\r\n"
        "\r\n"
        "[Main]\r\n"
        "debug=true\r\n";
    Put(before);
    ProfileFile f(path_);
    EXPECT_FALSE(f.Modified());
    f.WriteString("proxy", "proxyaddress", "192.168.1.5");
    f.WriteString("MAIN", "Debug", "true");  // same value: nothing changes
    EXPECT_TRUE(f.Modified());
    f.Flush();
    EXPECT_FALSE(f.Modified());
    EXPECT_EQ(Get(),
              "; Korvalo settings\r\n"
              "[Proxy]\r\n"
              "ProxyServer=old.proxy:8080\r\n"
              "  proxyAddress = 192.168.1.5\r\n"
              "unknownKey=kept\r\n"
              "PROXYADDRESS=duplicate\r\n"
              "\r\n"
              "[Main]\r\n"
              "debug=true\r\n");
    EXPECT_EQ(ProfileFile(path_).Find("Proxy", "proxyAddress"), "192.168.1.5");
}

TEST_F(ProfileFileTest, AppendsMissingKeysToTheirSectionAndMissingSectionsAtTheEnd) {
    Put("[proxy]\n"
        "useAutoProxy=\n"
        "\n"
        "; about Main\n"
        "[Main]\n"
        "debug=true");  // no line end after the last line
    ProfileFile f(path_);
    f.WriteString("Proxy", "proxyAccess", "dXNlcjpwd2Q=");
    f.WriteString("Main", "avCrypt", "true");
    f.WriteString("PathLoader", "MenuID", "42");
    f.Flush();
    EXPECT_EQ(Get(),
              "[proxy]\n"
              "useAutoProxy=\n"
              "proxyAccess=dXNlcjpwd2Q=\n"
              "\n"
              "; about Main\n"
              "[Main]\n"
              "debug=true\n"
              "avCrypt=true\n"
              "\n"
              "[PathLoader]\n"
              "MenuID=42\n");

    // A new file is created with the new section.
    const std::string fresh = (dir_ / "fresh.ini").string();
    ProfileFile g(fresh);
    g.WriteString("Main", "checkupdate", "1");
    g.Flush();
    EXPECT_EQ(ProfileFile(fresh).Text(), "[Main]\ncheckupdate=1\n");
}

TEST_F(ProfileFileTest, DeleteRemovesTheKeyAndItsDuplicatesFromTheSectionRead) {
    Put("[Main]\n"
        "avCrypt=true\n"
        "debug=true\n"
        "AVCRYPT=true\n"
        "[main]\n"
        "avCrypt=never read\n");
    ProfileFile f(path_);
    f.DeleteKey("main", "avcrypt");
    f.DeleteKey("Main", "missing");
    f.DeleteKey("Missing", "avCrypt");
    EXPECT_EQ(f.Find("Main", "avCrypt"), std::nullopt);
    f.Flush();
    EXPECT_EQ(Get(),
              "[Main]\n"
              "debug=true\n"
              "[main]\n"
              "avCrypt=never read\n");
}

TEST_F(ProfileFileTest, RejectsNamesAndValuesThatCouldNotBeReadBack) {
    ProfileFile f(path_);
    EXPECT_THROW(f.WriteString("Main", "debug", "true\n[Main]\nx=y"), std::invalid_argument);
    EXPECT_THROW(f.WriteString("Ma]in", "debug", "true"), std::invalid_argument);
    EXPECT_THROW(f.WriteString("Main", "a=b", "true"), std::invalid_argument);
    EXPECT_THROW(f.WriteString("Main", ";x", "true"), std::invalid_argument);
    EXPECT_THROW(f.WriteString("", "debug", "true"), std::invalid_argument);
    EXPECT_THROW(f.WriteString("Main", " ", "true"), std::invalid_argument);
    EXPECT_FALSE(f.Modified());
}

TEST_F(ProfileFileTest, CyrillicRoundTripsAsUtf8) {
    ProfileFile f(path_);
    f.WriteString("Прокси", "Пользователь", "Иван Петров");
    f.Flush();
    EXPECT_EQ(Get(), "[Прокси]\nПользователь=Иван Петров\n");
    EXPECT_EQ(ProfileFile(path_).Find("прокси", "пользователь"), "Иван Петров");
}

TEST_F(ProfileFileTest, ReadsCodePage1251AndWritesItBackAsUtf8) {
    // "[Proxy]\r\nProxyUser=Иван\r\n; комментарий\r\n" in code page 1251.
    Put("[Proxy]\r\nProxyUser=\xC8\xE2\xE0\xED\r\n; "
        "\xEA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\r\n");
    ProfileFile f(path_);
    EXPECT_EQ(f.Find("Proxy", "ProxyUser"), "Иван");
    f.WriteString("Proxy", "ProxyPassword", "пароль");
    f.Flush();
    EXPECT_EQ(Get(), "[Proxy]\r\nProxyUser=Иван\r\nProxyPassword=пароль\r\n; комментарий\r\n");
}

TEST_F(ProfileFileTest, ReadsFilesWithByteOrderMarks) {
    const std::string withBom = std::string("\xEF\xBB\xBF") + "[Main]\nhashAlgOID=1.2.3\n";
    EXPECT_EQ(ProfileFile::FromBytes("x", withBom).Find("Main", "hashAlgOID"), "1.2.3");
    Put(withBom);
    ProfileFile f(path_);
    f.WriteString("Main", "debug", "true");
    f.Flush();
    EXPECT_EQ(Get(), std::string("\xEF\xBB\xBF") + "[Main]\nhashAlgOID=1.2.3\ndebug=true\n");

    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("[Main]\r\ndebug=true\r\n")) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    EXPECT_EQ(ProfileFile::FromBytes("x", utf16).Find("main", "DEBUG"), "true");
}

TEST_F(ProfileFileTest, FlushReplacesTheFileWholeAndKeepsItsPermissions) {
    Put("[Main]\ndebug=true\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ProfileFile f(path_);
    f.WriteString("Main", "avCrypt", "true");
    f.Flush();
    EXPECT_EQ(Get(), "[Main]\ndebug=true\navCrypt=true\n");
    EXPECT_EQ(fs::status(path_).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"korvalo.ini"});  // no temporary left

    // Through a symbolic link the file it names is written; the link stays.
    const fs::path link = dir_ / "link.ini";
    fs::create_symlink(path_, link);
    ProfileFile viaLink(link.string());
    viaLink.WriteString("Main", "checkupdate", "1");
    viaLink.Flush();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Get(), "[Main]\ndebug=true\navCrypt=true\ncheckupdate=1\n");

    // A folder that does not exist: an error, and nothing is created.
    ProfileFile nowhere((dir_ / "no" / "such" / "k.ini").string());
    nowhere.WriteString("Main", "debug", "true");
    EXPECT_THROW(nowhere.Flush(), std::system_error);
    EXPECT_FALSE(fs::exists(dir_ / "no"));
}

TEST_F(ProfileFileTest, ConcurrentUpdatesOfOneFileLoseNoKey) {
    Put("; shared\n[Main]\ndebug=true\n");
    constexpr int kKeys = 100;
    auto writer = [&](const std::string& section, const std::string& prefix) {
        for (int i = 0; i < kKeys; ++i) {
            ProfileFile::Update(path_, [&](ProfileFile& f) {
                f.WriteString(section, prefix + std::to_string(i), std::to_string(i));
            });
        }
    };
    std::thread ui(writer, "proxy", "dialog");
    std::thread upload(writer, "Proxy", "upload");
    ui.join();
    upload.join();

    const ProfileFile f(path_);
    for (int i = 0; i < kKeys; ++i) {
        EXPECT_EQ(f.Find("proxy", "dialog" + std::to_string(i)), std::to_string(i));
        EXPECT_EQ(f.Find("proxy", "upload" + std::to_string(i)), std::to_string(i));
    }
    EXPECT_EQ(f.Find("Main", "debug"), "true");
}

TEST_F(ProfileFileTest, UpdateWritesNothingWhenTheChangeFails) {
    Put("[Main]\ndebug=true\n");
    EXPECT_THROW(ProfileFile::Update(path_,
                                     [](ProfileFile& f) {
                                         f.WriteString("Main", "avCrypt", "true");
                                         f.WriteString("Main", "bad", "line\nbreak");
                                     }),
                 std::invalid_argument);
    EXPECT_EQ(Get(), "[Main]\ndebug=true\n");

    ProfileFile::Update((dir_ / "untouched.ini").string(),
                        [](ProfileFile& f) { EXPECT_EQ(f.Find("Main", "debug"), std::nullopt); });
    EXPECT_FALSE(fs::exists(dir_ / "untouched.ini"));  // nothing changed, nothing written
}

}  // namespace
}  // namespace korvalo
