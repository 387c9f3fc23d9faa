// TFMain: start-up in its fixed order, settings reloads, the companion start and shutdown, with
// a real endpoint and real files, and doubles for the window and the user.
#include "services/program/fmain.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/version.h"
#include "services/endpoint/dispatcher.h"
#include "support/files.h"
#include "support/http_exchange.h"
#include "support/recording_doubles.h"
#include "support/system_proxy_double.h"
#include "support/update_doubles.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::RecordingLog;
using testing::RecordingNotifier;

// The main window: records the calls in order.
class RecordingWindow : public IMainWindowHost {
public:
    bool CreateTrayIcon() override {
        calls.push_back("tray");
        trayExists = trayAvailable;
        return trayExists;
    }
    void ShowBalloon(const std::string& text) override { calls.push_back("balloon:" + text); }
    void SetCaption(const std::string& caption) override { calls.push_back("caption:" + caption); }
    void RequestQuit() override { calls.push_back("quit"); }
    void RemoveTrayIcon() override {
        calls.push_back("remove tray");
        trayExists = false;
    }
    bool trayAvailable = true;
    bool trayExists = false;
    std::vector<std::string> calls;
};

class TFMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        options_.settingsPaths.mainIni = (dir_ / "korvalo.ini").string();
        options_.settingsPaths.perUserIni = (dir_ / "user" / "korvalo.ini").string();
        options_.protocolFile = (dir_ / "request.txt").string();
        options_.endpoint.port = 0;
        options_.systemProxy = std::make_shared<testing::FakeSystemProxy>();
        options_.startCompanion = [this] {
            ++companionStarts;
            return companion;
        };
        options_.checkUpdate = [this] {
            ++updateChecks;
            return 0;
        };
        options_.releaseAvest = [this] { ++avestReleases; };
        options_.certStore = dir_ / "certs" / "MY";
    }
    void TearDown() override { main_.reset(); }
    void PutIni(const std::string& text) const { std::ofstream(dir_ / "korvalo.ini") << text; }
    TFMain& Make() {
        main_ = std::make_unique<TFMain>(log, notifier, TFMainParts{}, options_);
        return *main_;
    }
    std::uint16_t Port() { return main_->Endpoint()->Port(); }
    // The start-up line that names the certificate store's folder.
    std::string StoreLine() const {
        return "Хранилище сертификатов: " + (dir_ / "certs" / "MY").string();
    }
    // The start-up line that names the endpoint's addresses.
    std::string AddressLine(const std::string& addresses, const std::string& scope) {
        return "Korvalo принимает запросы на адресах " + addresses + " (" + scope + ")";
    }
    std::string LoopbackLine() {
        const std::string port = std::to_string(Port());
        return AddressLine("127.0.0.1:" + port + ", [::1]:" + port, "только этот компьютер");
    }

    testing::TempDir temp_;
    const fs::path dir_ = temp_.path();
    TFMainOptions options_;
    RecordingLog log;
    RecordingNotifier notifier;
    RecordingWindow window;
    CompanionOutcome companion{true, "run.sh", {}};
    int companionStarts = 0;
    int updateChecks = 0;
    int avestReleases = 0;
    std::unique_ptr<TFMain> main_;
};

TEST_F(TFMainTest, StartUpRunsItsStepsInOrder) {
    PutIni("[Main]\nprovider= iola \ndebugExt=true\ncheckupdate=0x1\n[PathLoader]\nMenuID=7\n");
    std::ofstream(dir_ / "request.txt") << "old records";
    TFMain& main = Make();
    main.Stage() = 1;
    main.FormCreate(window);

    EXPECT_EQ(companionStarts, 1);  // "iola" with blanks selects the companion mode
    EXPECT_EQ(main.Stage().load(), 0);
    ASSERT_NE(main.Dispatcher(), nullptr);
    EXPECT_TRUE(main.Dispatcher()->SignEnabled());
    EXPECT_TRUE(main.Dispatcher()->Fields().paramList.empty());
    ASSERT_TRUE(main.Endpoint()->Active());
    ASSERT_NE(main.ProtocolFile(), nullptr);
    EXPECT_EQ(fs::file_size(dir_ / "request.txt"), 0u);  // recreated empty
    const std::vector<std::string> expected = {
        "tray", "balloon:Korvalo загружен",
        std::string("caption:Протокол сервера v.") + GetProgramVersion()};
    EXPECT_EQ(window.calls, expected);
    EXPECT_EQ(main.serverVersion(), GetProgramVersion());
    const Settings settings = main.Store().Snapshot();
    EXPECT_EQ(settings.pathLoader.SoftwareID, "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}");
    EXPECT_EQ(settings.pathLoader.MenuID, "7");
    EXPECT_EQ(main.UpdateComp().SoftwareID(), "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}");
    EXPECT_EQ(main.UpdateComp().Language(), TLanguage::ru);
    EXPECT_EQ(updateChecks, 1);
    EXPECT_TRUE(notifier.Boxes().empty());
    // The lines name the store folder, which start-up leaves to the dialogs to make, and the
    // addresses the endpoint listens on: the loopback ones.
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{StoreLine(), LoopbackLine()}));
    EXPECT_FALSE(fs::exists(dir_ / "certs"));
    EXPECT_EQ(main.CertStoreLocation(), dir_ / "certs" / "MY");
    EXPECT_EQ(main.Endpoint()->ListenAddresses(),
              (std::vector<std::string>{"127.0.0.1:" + std::to_string(Port()),
                                        "[::1]:" + std::to_string(Port())}));
    EXPECT_FALSE(main.QuitRequested());

    const auto answer = testing::Options(Port());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *answer;
    EXPECT_NE(answer->find("Server: Korvalo Version " + main.serverVersion()), std::string::npos);
}

TEST_F(TFMainTest, TheUpdateCheckRunsOnlyForOne) {
    for (const char* value : std::initializer_list<const char*>{"0", "2", "true", nullptr}) {
        PutIni(value ? std::string("[Main]\ncheckupdate=") + value + "\n" : std::string());
        updateChecks = 0;
        Make().FormCreate(window);
        EXPECT_EQ(updateChecks, 0) << (value ? value : "missing");
        main_->FormClose(window);
    }
}

// Korvalo's own update check, "checkupdate" on or off: nothing is shown, asked, started or
// logged, and the update component is not run.
TEST_F(TFMainTest, TheOwnUpdateCheckDoesNothingWhetherOnOrOff) {
    EXPECT_EQ(CheckUpdate(), 0);
    std::vector<testing::ScriptedUpdateWindows*> windows;
    int started = 0;
    options_.checkUpdate = nullptr;  // Korvalo's own
    options_.updateComp.startProgram = [&](const std::string&, const std::string&) {
        ++started;
        return std::error_code();
    };
    for (const char* value : {"1", "0"}) {
        PutIni(std::string("[Main]\ncheckupdate=") + value + "\n");
        TFMainParts parts;
        parts.updateWindows = [&](TFMain&) {
            auto made = std::make_unique<testing::ScriptedUpdateWindows>();
            windows.push_back(made.get());
            return made;
        };
        main_ = std::make_unique<TFMain>(log, notifier, std::move(parts), options_);
        EXPECT_EQ(main_->Store().Snapshot().bCheckUpdate, false);
        main_->FormCreate(window);
        EXPECT_EQ(main_->Store().Snapshot().bCheckUpdate, std::string(value) == "1");
        EXPECT_EQ(main_->UpdateComp().SoftwareID(), kSoftwareId);
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{StoreLine(), LoopbackLine()})) << value;
        ASSERT_EQ(windows.size(), 1u);
        EXPECT_TRUE(windows[0]->splashes.empty() && windows[0]->boxes.empty()) << value;
        main_->FormClose(window);
        main_.reset();
        windows.clear();
        log.ClearInfo();
    }
    EXPECT_EQ(started, 0);
    EXPECT_TRUE(notifier.Boxes().empty());
}

// A second copy: the message box, the request to end, and the remaining steps still run.
TEST_F(TFMainTest, APortInUseShowsTheMessageAndAsksToEnd) {
    testing::PortHolder holder;
    options_.endpoint.port = holder.Port();
    PutIni("[Main]\ndebug=true\n");
    std::ofstream(dir_ / "request.txt") << "the first copy's records";
    TFMain& main = Make();
    main.FormCreate(window);
    EXPECT_FALSE(main.Endpoint()->Active());
    EXPECT_TRUE(main.QuitRequested());
    const auto boxes = notifier.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Порт Korvalo");
    EXPECT_EQ(boxes[0].text, "Порт Korvalo уже занят.");
    EXPECT_EQ(boxes[0].icon, INotifier::Icon::Information);
    ASSERT_FALSE(window.calls.empty());
    EXPECT_EQ(window.calls[0], "quit");
    EXPECT_EQ(window.calls.size(), 4u);  // then tray, balloon and caption
    EXPECT_EQ(fs::file_size(dir_ / "request.txt"), 0u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{StoreLine()});
}

TEST_F(TFMainTest, AProtocolFileThatCannotBeMadeSwitchesDebugOff) {
    options_.protocolFile = (dir_ / "missing-folder" / "request.txt").string();
    PutIni("[Main]\ndebug=true\ndebugExt=true\n");
    TFMain& main = Make();
    main.FormCreate(window);
    EXPECT_EQ(main.ProtocolFile(), nullptr);
    EXPECT_FALSE(main.Store().Snapshot().debug);
    EXPECT_FALSE(main.Store().Snapshot().debugExt);
    const std::vector<std::string> lines = {
        StoreLine(), LoopbackLine(),
        "Ошибка при создании файла протокола - запустите программу от имени Администратора"};
    EXPECT_EQ(log.Messages(), lines);
    EXPECT_TRUE(main.Endpoint()->Active());
}

// Installed: the user's main file is made from the administrator's on first use, and the
// protocol file goes to a state folder made for it.
TEST_F(TFMainTest, AnInstalledProgramMakesItsUsersSettingsAndStateFolders) {
    options_.settingsPaths.mainIni = (dir_ / "config" / "korvalo" / "korvalo.ini").string();
    options_.settingsPaths.defaultsIni = (dir_ / "etc" / "korvalo.ini").string();
    options_.protocolFile = (dir_ / "state" / "korvalo" / "request.txt").string();
    options_.createProtocolFolder = true;
    fs::create_directories(dir_ / "etc");
    std::ofstream(dir_ / "etc" / "korvalo.ini") << "[Main]\ndebug=true\n";
    TFMain& main = Make();
    main.FormCreate(window);

    EXPECT_TRUE(main.Store().Snapshot().debug);
    ASSERT_NE(main.ProtocolFile(), nullptr);
    EXPECT_TRUE(fs::is_regular_file(dir_ / "state" / "korvalo" / "request.txt"));
    EXPECT_EQ(fs::status(dir_ / "state").permissions(), fs::perms::owner_all);
    const std::string made = "Файл настроек " + options_.settingsPaths.mainIni + " создан из " +
                             options_.settingsPaths.defaultsIni;
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_NE(log.Lines()[0].find(made), std::string::npos) << log.Lines()[0];
    EXPECT_EQ(log.Messages()[1], StoreLine());
    EXPECT_EQ(log.Messages()[2], LoopbackLine());

    // A reload keeps the user's file as it is now.
    std::ofstream(options_.settingsPaths.mainIni) << "[Main]\n";
    main.LoadSettings();
    EXPECT_FALSE(main.Store().Snapshot().debug);
    EXPECT_EQ(log.Lines().size(), 3u);
}

TEST_F(TFMainTest, WithoutDebugNoProtocolFileIsTouched) {
    std::ofstream(dir_ / "request.txt") << "kept";
    Make().FormCreate(window);
    EXPECT_EQ(main_->ProtocolFile(), nullptr);
    std::ifstream in(dir_ / "request.txt");
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "kept");
}

TEST_F(TFMainTest, NoNotificationAreaMeansNoBalloon) {
    window.trayAvailable = false;
    Make().FormCreate(window);
    const std::vector<std::string> expected = {
        "tray", std::string("caption:Протокол сервера v.") + GetProgramVersion()};
    EXPECT_EQ(window.calls, expected);
    EXPECT_TRUE(main_->Endpoint()->Active());
}

TEST_F(TFMainTest, AnUnreadableSettingsFileGivesDefaultsAndALogLine) {
    fs::create_directory(dir_ / "korvalo.ini");  // a folder where the file should be
    Make().FormCreate(window);
    const Settings settings = main_->Store().Snapshot();
    EXPECT_EQ(settings.proxyPort, 80);
    EXPECT_FALSE(settings.debug);
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_NE(log.Lines()[0].find("не читается"), std::string::npos);
    EXPECT_EQ(log.Messages()[1], StoreLine());
    EXPECT_EQ(log.Messages()[2], LoopbackLine());
    EXPECT_TRUE(main_->Endpoint()->Active());
}

// PathLoader as stored (delay 0, proxy editing on, the default list, Russian), fed by the
// settings and given the software identifier at start-up; nothing runs it.
TEST_F(TFMainTest, ThePathLoaderIsSetUpAtStartUp) {
    PutIni(
        "[PathLoader]\nMenuID=7\nAllowSetProxy=0\nPathLoaderURLType=2\n"
        "PathLoaderURL=http://a/x.dll; \"http://b/y z.dll\"\n"
        "[Proxy]\nProxyServer=p.corp:3128\nProxyUser=user\nProxyPassword=pwd\n");
    TFMain& main = Make();
    TPathLoader& loader = main.PathLoader();
    EXPECT_EQ(loader.ConnectionDelay(), 0);
    EXPECT_TRUE(loader.AllowSetProxy());
    EXPECT_EQ(loader.PathLoaderURLType(), TPathLoaderURLType::plDefault);
    EXPECT_EQ(loader.Language(), TPathLoaderLanguage::plRussian);
    EXPECT_EQ(loader.SoftwareID(), "");

    main.FormCreate(window);
    EXPECT_EQ(loader.SoftwareID(), "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}");
    EXPECT_EQ(loader.MenuID(), "7");
    EXPECT_FALSE(loader.AllowSetProxy());
    EXPECT_EQ(loader.PathLoaderURLType(), TPathLoaderURLType::plCustom);
    EXPECT_EQ(loader.PathLoaderURL(),
              (std::vector<std::string>{"http://a/x.dll", "http://b/y z.dll"}));
    EXPECT_EQ(loader.EndpointText(), "http://a/x.dll\r\nhttp://b/y z.dll");
    EXPECT_EQ(loader.Proxy(), "p.corp:3128");
    EXPECT_EQ(loader.ProxyUserName(), "user");
    EXPECT_EQ(loader.ProxyPassword(), "pwd");
    EXPECT_EQ(loader.ConnectionDelay(), 0);

    // A reload to the default list keeps the custom lines, as the component keeps them.
    PutIni("[PathLoader]\nPathLoaderURLType=1\n");
    main.LoadSettings();
    EXPECT_EQ(loader.PathLoaderURLType(), TPathLoaderURLType::plLocal);
    EXPECT_TRUE(loader.AllowSetProxy());
    EXPECT_EQ(loader.PathLoaderURL().size(), 2u);
    EXPECT_EQ(loader.SoftwareID(), "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}");
    // This build of TFMain has no windows for it: running it is an error, not a crash.
    EXPECT_THROW((void)loader.Execute(), std::logic_error);
}

// The endpoint listens on the loopback addresses unless the settings ask for every interface;
// the start-up line says which.
TEST_F(TFMainTest, TheSettingOpensEveryInterface) {
    PutIni("[Main]\nlistenAllInterfaces=TRUE\n");
    Make().FormCreate(window);
    const std::string port = std::to_string(Port());
    EXPECT_EQ(main_->Endpoint()->ListenAddresses(),
              (std::vector<std::string>{"0.0.0.0:" + port, "[::]:" + port}));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                  StoreLine(), AddressLine("0.0.0.0:" + port + ", [::]:" + port,
                                                           "все сетевые интерфейсы")}));
    // A reload does not reopen the endpoint.
    PutIni("");
    main_->LoadSettings();
    EXPECT_EQ(main_->Endpoint()->ListenAddresses()[0], "0.0.0.0:" + port);
}

TEST_F(TFMainTest, ReloadingResetsTheStageAndStartsTheCompanionAgain) {
    PutIni("[Main]\nprovider=IOLA\n");
    TFMain& main = Make();
    main.FormCreate(window);
    main.Stage() = 1;
    PutIni("[Main]\nprovider=IOLA\navCrypt=true\n[proxy]\nproxyAddress= 10.0.0.1 \n");
    main.LoadSettings();
    EXPECT_EQ(main.Stage().load(), 0);
    EXPECT_EQ(companionStarts, 2);
    EXPECT_TRUE(main.Store().Snapshot().avCrypt);
    EXPECT_EQ(main.Store().Snapshot().proxyAddress, "10.0.0.1");
    // The identifier set at start-up survives the reload.
    EXPECT_EQ(main.Store().Snapshot().pathLoader.SoftwareID,
              "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}");
    PutIni("[Main]\nprovider=other\n");
    main.LoadSettings();
    EXPECT_EQ(companionStarts, 2);
}

TEST_F(TFMainTest, CompanionTroubleIsLogged) {
    PutIni("[Main]\nprovider=IOLA\n");
    struct Case {
        CompanionOutcome outcome;
        std::string line;  // expected end of the log line, empty for none
    } cases[] = {
        {{true, "/x/tinyWebServer/run.sh", {}}, ""},
        {{false, "/x/tinyWebServer/run.sh", {}}, "Не удалось запустить /x/tinyWebServer/run.sh"},
        {{false, "/x/tinyWebServer/run.sh", {true, 42, true, 3}},
         "/x/tinyWebServer/run.sh завершился с кодом 3"},
        {{false, "/x/tinyWebServer/run.sh", {true, 42, true, 0}}, ""},
        {{false, "/x/tinyWebServer/run.sh", {true, 42, false, -1}}, ""},  // still running
    };
    TFMain& main = Make();
    for (const Case& c : cases) {
        companion = c.outcome;
        log.ClearInfo();
        main.LoadSettings();
        const std::vector<std::string> lines = log.Lines();
        if (c.line.empty()) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            ASSERT_EQ(lines.size(), 1u) << c.line;
            EXPECT_TRUE(lines[0].ends_with(c.line)) << lines[0];
        }
    }
}

TEST_F(TFMainTest, FormCloseReleasesEverything) {
    PutIni("[Main]\ndebug=true\n");
    TFMain& main = Make();
    main.FormCreate(window);
    const std::uint16_t port = Port();
    ASSERT_TRUE(testing::Options(port));
    window.calls.clear();
    main.FormClose(window);
    EXPECT_EQ(window.calls, std::vector<std::string>{"remove tray"});
    EXPECT_EQ(main.Endpoint(), nullptr);
    EXPECT_EQ(main.Dispatcher(), nullptr);
    EXPECT_EQ(main.ProtocolFile(), nullptr);
    EXPECT_EQ(avestReleases, 1);
    EXPECT_FALSE(testing::Options(port));  // no longer listening
}

// Without signing dialogs in the build, a signing request is refused with a log line.
TEST_F(TFMainTest, MissingDialogsRefuseTheRequest) {
    Make().FormCreate(window);
    const auto answer = testing::HttpExchange(
        Port(),
        "GET /?urlToAnswer=http%3A%2F%2F127.0.0.1%2Fa&urlToRedirect=http%3A%2F%2F127.0.0.1%2Fb"
        "&crpt_message=hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(answer);
    bool refused = false;
    for (const std::string& line : log.Lines())
        refused |= line.find("Окна подписи не входят в эту сборку") != std::string::npos;
    EXPECT_TRUE(refused);
    EXPECT_TRUE(main_->Dispatcher()->SignEnabled());
}

}  // namespace
}  // namespace korvalo
