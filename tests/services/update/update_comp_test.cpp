// TUpdateComp over scripted windows and a scripted service: the order of its steps, its
// message boxes and results, the updater's ten arguments as the updater's stand-in receives
// them, and the files of the per-user folder.

#include "services/update/update_comp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support/files.h"
#include "support/renovar_standin.h"
#include "support/update_doubles.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

using ScriptedWindows = testing::ScriptedUpdateWindows;
using ScriptedSlot = testing::ScriptedUpdateSlot;

// A program folder "my bin" with the program "korvalo" and the updater's stand-in as
// "_Renovar", a private application-data folder, and the component acting for the program.
class UpdateCompTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        // The stand-in records and ends without a display.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            ::unsetenv(name);
        ::setenv("KORVALO_RENOVAR_RECORD", Record().c_str(), 1);
        fs::create_directories(Bin());
        WriteBytes(Bin() / "korvalo", "program");
        fs::copy_file(testing::RenovarStandinExecutable(), Bin() / "_Renovar");
    }
    fs::path Bin() const { return dir_ / "my bin"; }
    fs::path Record() const { return dir_ / "record.json"; }
    fs::path Updater(const std::string& module = "korvalo") const {
        return dir_ / "config" / "VALDOR" / module / "Renovar";
    }

    TUpdateComp& Make() {
        UpdateCompEnvironment environment;
        environment.module = slot_;
        environment.versionResource = [this] { return resource_; };
        environment.executablePath = (Bin() / "korvalo").string();
        component_ = std::make_unique<TUpdateComp>(&windows_, environment);
        component_->SetSoftwareID(kSoftwareId);
        component_->SetServerPath("http://vendor.example/update");
        component_->SetLanguage(TLanguage::ru);
        return *component_;
    }
    // A newer version 2.0.0.0 behind the splash.
    void Newer() {
        windows_.splash = [](const UpdateSplashArgs&) { return UpdateVerdict{2, "2.0.0.0"}; };
    }

    TempDir dir_;
    VersionResource resource_{"1.0.0.0", "korvalo"};
    ScriptedWindows windows_;
    std::shared_ptr<ScriptedSlot> slot_ = std::make_shared<ScriptedSlot>();
    std::unique_ptr<TUpdateComp> component_;
};

TEST_F(UpdateCompTest, CreatingItMakesTheApplicationWideContainer) {
    TUpdateComp& component = Make();
    EXPECT_NE(slot_->Current(), nullptr);
    TUpdateComp fresh(&windows_);
    EXPECT_EQ(fresh.SoftwareID(), "");
    EXPECT_EQ(fresh.ProxyServer(), "");
    EXPECT_EQ(fresh.ServerPath(), "");
    EXPECT_EQ(fresh.ProxyPort(), 0);
    EXPECT_EQ(fresh.Language(), TLanguage::en);
    EXPECT_EQ(component.Language(), TLanguage::ru);
}

TEST_F(UpdateCompTest, TheFirstMissingParameterIsNamedAndNothingElseHappens) {
    struct Case {
        VersionResource resource;
        std::string softwareId;
        std::string serverPath;
        std::string executable;
        std::string box;
    };
    const std::string program = (Bin() / "korvalo").string();
    const Case cases[] = {
        {{}, kSoftwareId, "http://s", program, "|Не задан параметр \"InternalName\"|-"},
        {{"1.0.0.0", std::nullopt}, "", "", program, "|Не задан параметр \"InternalName\"|-"},
        {{std::nullopt, "korvalo"}, "", "", program, "korvalo|Не задан параметр \"CurVersion\"|-"},
        {{"1.0.0.0", "korvalo"}, "", "", program, "korvalo|Не задан параметр \"SoftwareID\"|-"},
        {{"1.0.0.0", "korvalo"},
         kSoftwareId,
         "",
         "korvalo",
         "korvalo|Не задан параметр \"InitialDir\"|-"},
        {{"1.0.0.0", "korvalo"},
         kSoftwareId,
         "",
         program,
         "korvalo|Не задан параметр \"ServerPath\"|-"},
    };
    for (const Case& c : cases) {
        windows_ = ScriptedWindows();
        UpdateCompEnvironment environment;
        environment.module = slot_;
        environment.versionResource = [&c] { return c.resource; };
        environment.executablePath = c.executable;
        TUpdateComp component(&windows_, environment);
        component.SetSoftwareID(c.softwareId);
        component.SetServerPath(c.serverPath);
        EXPECT_EQ(component.Execute(), 2);
        EXPECT_EQ(windows_.boxes, std::vector<std::string>{c.box});
        EXPECT_TRUE(windows_.splashes.empty());
    }
    EXPECT_TRUE(slot_->connections.empty());
}

TEST_F(UpdateCompTest, AFailureToSetUpTheCheckIsReportedAndTheContainerDiscarded) {
    for (const bool clientFails : {true, false}) {
        TUpdateComp& component = Make();
        windows_ = ScriptedWindows();
        slot_->failure = clientFails ? "нет клиента" : "";
        windows_.splash = [](const UpdateSplashArgs&) -> UpdateVerdict {
            throw std::runtime_error("нет окна");
        };
        EXPECT_EQ(component.Execute(), 2);
        EXPECT_EQ(windows_.boxes,
                  std::vector<std::string>{
                      std::string("korvalo|В процессе проверки версии произошла ошибка: ") +
                      (clientFails ? "нет клиента" : "нет окна") + "|-"});
        EXPECT_EQ(windows_.splashes.size(), clientFails ? 0u : 1u);
        EXPECT_EQ(slot_->Current(), nullptr);
    }
    // The next check connects anew.
    slot_->failure.clear();
    windows_ = ScriptedWindows();
    EXPECT_EQ(component_->Execute(), 0);
    EXPECT_NE(slot_->Current(), nullptr);
}

TEST_F(UpdateCompTest, TheSplashIsGivenTheCheckAndVerdictsOtherThanOneAndTwoGiveZero) {
    TUpdateComp& component = Make();
    component.SetProxyServer("proxy.example:3128");
    component.SetProxyUser("ivan");
    component.SetProxyPass("secret");
    for (const int code : {0, 7, -1, 3}) {
        windows_ = ScriptedWindows();
        windows_.splash = [code](const UpdateSplashArgs&) { return UpdateVerdict{code, "x"}; };
        EXPECT_EQ(component.Execute(), 0) << code;
        EXPECT_TRUE(windows_.boxes.empty()) << code;
        ASSERT_EQ(windows_.splashes.size(), 1u);
        const UpdateSplashArgs& args = windows_.splashes[0];
        EXPECT_EQ(args.SoftwareID, kSoftwareId);
        EXPECT_EQ(args.Version, "1.0.0.0");
        EXPECT_EQ(args.URL, "http://vendor.example/update");
        EXPECT_EQ(args.Proxy, "proxy.example:3128");
        EXPECT_EQ(args.ProxyUserName, "ivan");
        EXPECT_EQ(args.ProxyPassword, "secret");
    }
    EXPECT_EQ(slot_->connections.back(),
              "http://vendor.example/update|proxy.example:3128|ivan|secret");
    EXPECT_TRUE(slot_->service->calls.empty());
    EXPECT_EQ(component.InitialDir(), Bin().string() + "/");
    EXPECT_EQ(component.ActVersion(), "x");
}

TEST_F(UpdateCompTest, TheServicesErrorIsShownAndADeclinedUpdateEnds) {
    TUpdateComp& component = Make();
    windows_.splash = [](const UpdateSplashArgs&) {
        return UpdateVerdict{1, "Невозможно установить соединение с сервером"};
    };
    EXPECT_EQ(component.Execute(), 2);
    EXPECT_EQ(windows_.boxes, std::vector<std::string>{"korvalo|Невозможно установить "
                                                       "соединение с сервером|error"});

    windows_ = ScriptedWindows();
    Newer();
    windows_.answer = false;
    EXPECT_EQ(component.Execute(), 2);
    EXPECT_EQ(windows_.boxes,
              std::vector<std::string>{
                  "korvalo|Версия программы устарела. Обновить программу?|question"});
    EXPECT_TRUE(slot_->service->calls.empty());
    EXPECT_FALSE(fs::exists(Record()));
}

TEST_F(UpdateCompTest, TheUpdaterGetsItsTenArguments) {
    struct Case {
        std::string proxy, user, password;
        std::vector<std::string> proxyArguments;  // host, port, user, password
        std::string proxyAfter;                   // ProxyServer for a later Execute
    };
    const Case cases[] = {
        {"proxy.example:3128",
         "ivan",
         "secret",
         {"proxy.example", "3128", "ivan", "secret"},
         "proxy.example"},
        {"", "", "", {" ", "0", " ", " "}, "\" \""},
        {"3128", "", "p w", {" ", "3128", " ", "p", "w"}, "\" \""},
        {"proxy.example:port", "u", "", {"proxy.example", "0", "u", " "}, "proxy.example"},
    };
    for (const Case& c : cases) {
        fs::remove(Record());
        TUpdateComp& component = Make();
        EXPECT_EQ(component.PrepareFiles((Bin() / "korvalo").string()), 0);
        Newer();
        component.SetProxyServer(c.proxy);
        component.SetProxyUser(c.user);
        component.SetProxyPass(c.password);
        EXPECT_EQ(component.Execute(), 1) << c.proxy;
        EXPECT_TRUE(windows_.boxes.size() == 1 && windows_.boxes[0].ends_with("|question"));
        EXPECT_EQ(slot_->service->calls.back(),
                  std::string("GetDownloadLinkNew(") + kSoftwareId + ",,0)");

        std::vector<std::string> expected = {"korvalo", "1.0.0.0", "2.0.0.0"};
        expected.insert(expected.end(), c.proxyArguments.begin(), c.proxyArguments.end());
        expected.insert(expected.end(), {Bin().string() + "/",
                                         "http://vendor.example/get/korvalo 2.0.0.0.tar.gz", "ru"});
        const auto received = testing::WaitForRenovarRecord(Record(), 20s);
        ASSERT_TRUE(received) << c.proxy;
        EXPECT_EQ(*received, expected);

        // The proxy values stay as the updater took them, for a later Execute.
        EXPECT_EQ(component.ProxyServer(), c.proxyAfter);
        windows_ = ScriptedWindows();
        EXPECT_EQ(component.Execute(), 0);
        EXPECT_EQ(windows_.splashes.at(0).Proxy, c.proxyAfter);
    }
}

TEST_F(UpdateCompTest, AnUpdaterThatIsMissingOrCannotStartIsReported) {
    TUpdateComp& component = Make();
    Newer();
    // Not prepared: the per-user folder has no updater.
    EXPECT_EQ(component.Execute(), 2);
    ASSERT_EQ(windows_.boxes.size(), 2u);
    EXPECT_EQ(windows_.boxes[1], "korvalo|Невозможно найти файл: " + Updater().string() + "|error");

    // Prepared under the program's own file name, looked for under the internal name.
    resource_.InternalName = "other";
    windows_ = ScriptedWindows();
    Newer();
    (void)component.PrepareFiles((Bin() / "korvalo").string());
    EXPECT_EQ(component.Execute(), 2);
    EXPECT_EQ(windows_.boxes.back(),
              "other|Невозможно найти файл: " + Updater("other").string() + "|error");

    // There, but not a program that can be started.
    resource_.InternalName = "korvalo";
    fs::permissions(Updater(),
                    fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::remove);
    windows_ = ScriptedWindows();
    Newer();
    EXPECT_EQ(component.Execute(), 2);
    EXPECT_TRUE(windows_.boxes.back().starts_with(
        "korvalo|Невозможно запустить файл: " + Updater().string() + " ("));
    EXPECT_FALSE(fs::exists(Record()));
}

TEST_F(UpdateCompTest, ADownloadAddressErrorLeavesExecuteWithTheServicesMessage) {
    TUpdateComp& component = Make();
    (void)component.PrepareFiles((Bin() / "korvalo").string());
    Newer();
    slot_->service->errCode = 1;
    slot_->service->errMsg = "Для программы нет адреса загрузки";
    try {
        (void)component.Execute();
        ADD_FAILURE() << "Execute returned";
    } catch (const UpdateDownloadError& e) {
        EXPECT_EQ(std::string(e.what()), "Для программы нет адреса загрузки");
    }
    EXPECT_FALSE(fs::exists(Record()));
}

TEST_F(UpdateCompTest, PrepareFilesAndTheIniPathForBothInstallations) {
    TUpdateComp& component = Make();
    const std::string program = (Bin() / "korvalo").string();
    EXPECT_EQ(component.GetUserAppDir(), (dir_ / "config").string());
    EXPECT_EQ(component.GetIniPath(program),
              (dir_ / "config" / "VALDOR" / "korvalo" / "korvalo.ini").string());
    EXPECT_FALSE(component.IsVALDORTrader(program));

    // An older copy is replaced by the program's updater, which can be run.
    fs::create_directories(Updater().parent_path());
    WriteBytes(Updater(), "old");
    EXPECT_EQ(component.PrepareFiles(program), 0);
    EXPECT_EQ(ReadBytes(Updater()), ReadBytes(Bin() / "_Renovar"));
    struct stat st {};
    ASSERT_EQ(::stat(Updater().c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);

    // A local installation: the settings beside the program, nothing copied.
    WriteBytes(Bin() / "korvalo.loc", "");
    EXPECT_TRUE(component.IsVALDORTrader(program));
    EXPECT_EQ(component.GetIniPath(program), (Bin() / "korvalo.ini").string());
    fs::remove_all(dir_ / "config");
    EXPECT_EQ(component.PrepareFiles(program), 0);
    EXPECT_FALSE(fs::exists(dir_ / "config"));

    // Windows' names lose their ".exe"; nothing else is cut from a name.
    WriteBytes(Bin() / "tool.exe", "");
    EXPECT_EQ(component.GetIniPath((Bin() / "tool.exe").string()),
              (dir_ / "config" / "VALDOR" / "tool" / "tool.ini").string());
    const std::pair<const char*, const char*> names[] = {
        {"korvalo", "korvalo"},
        {"korvalo.exe", "korvalo"},
        {"KORVALO.EXE", "KORVALO"},
        {"my.prog", "my.prog"},
        {"exe", "exe"},
        {"a.exe.bak", "a.exe.bak"},
    };
    for (const auto& [name, folder] : names)
        EXPECT_EQ(ProgramFolderName(name), folder) << name;
}

TEST(UpdateCompFolders, TheApplicationDataFolderDefaultsToTheUsersConfigFolder) {
    ::unsetenv("XDG_CONFIG_HOME");
    TempDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    ScriptedWindows windows;
    TUpdateComp component(&windows);
    EXPECT_EQ(component.GetUserAppDir(), (home.path() / ".config").string());
    EXPECT_EQ(component.GetUserDocDir(), (home.path() / "Documents").string());
    EXPECT_FALSE(fs::exists(home.path() / ".config"));
}

}  // namespace
}  // namespace korvalo
