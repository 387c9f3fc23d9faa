// TPathLoader's Execute over scripted windows: the endpoint lists, the menu and path lists as
// the service sends them, the choice, and what the caller gets back.

#include "services/pathloader/path_loader.h"

#include <gtest/gtest.h>

#include <functional>

#include "services/pathloader/vendor_addresses.h"

namespace korvalo {
namespace {

// Windows that answer from a script and record what they were given.
class ScriptedWindows : public IPathLoaderWindows {
public:
    std::function<bool(ConnectionDialogArgs&)> connection = [](ConnectionDialogArgs&) {
        return false;
    };
    int choice = -1;

    bool ShowConnectionDialog(ConnectionDialogArgs& args) override {
        given = args;
        ++connections;
        return connection(args);
    }
    int ShowMenuDialog(const std::string& caption, const std::string& menu) override {
        menuCaption = caption;
        menuText = menu;
        ++menus;
        return choice;
    }

    ConnectionDialogArgs given;
    int connections = 0;
    int menus = 0;
    std::string menuCaption;
    std::string menuText;
};

// The window delivers this menu and path list.
std::function<bool(ConnectionDialogArgs&)> Delivers(std::string menu, std::string paths) {
    return [menu, paths](ConnectionDialogArgs& args) {
        args.MenuList = menu;
        args.PathList = paths;
        return true;
    };
}

TEST(TPathLoader, ANewComponent) {
    TPathLoader loader;
    EXPECT_EQ(loader.Caption(), "");
    EXPECT_EQ(loader.ConnectionDelay(), 3);
    EXPECT_TRUE(loader.AllowSetProxy());
    EXPECT_EQ(loader.PathLoaderURLType(), TPathLoaderURLType::plDefault);
    EXPECT_EQ(loader.PathLoaderURL(), std::vector<std::string>(kDefaultPathLoaderEndpoints.begin(),
                                                               kDefaultPathLoaderEndpoints.end()));
    EXPECT_EQ(loader.Language(), TPathLoaderLanguage::plRussian);
    EXPECT_EQ(loader.Proxy(), "");
    EXPECT_EQ(TPathLoader::About(), "PathLoader Client Component v2.02");
    loader.SetAbout("something else");
    EXPECT_EQ(loader.About(), "PathLoader Client Component v2.02");
    EXPECT_THROW((void)loader.Execute(), std::logic_error);  // no windows
}

TEST(TPathLoader, TheEndpointListByType) {
    const std::string defaults = std::string(kDefaultPathLoaderEndpoints[0]) + "\r\n" +
                                 kDefaultPathLoaderEndpoints[1] + "\r\n" +
                                 kDefaultPathLoaderEndpoints[2];
    struct Case {
        TPathLoaderURLType type;
        std::vector<std::string> custom;
        std::string expected;
    };
    const Case cases[] = {
        {TPathLoaderURLType::plDefault, {"http://ignored/"}, defaults},
        {TPathLoaderURLType::plLocal, {"http://ignored/"}, kTestPathLoaderEndpoints[0]},
        {TPathLoaderURLType::plCustom,
         {"http://a/x.dll", "http://b/x.dll"},
         "http://a/x.dll\r\nhttp://b/x.dll"},
        {TPathLoaderURLType::plCustom, {}, defaults},
    };
    for (const Case& c : cases) {
        ScriptedWindows windows;
        TPathLoader loader(&windows);
        loader.SetPathLoaderURLType(c.type);
        loader.SetPathLoaderURL(c.custom);
        EXPECT_FALSE(loader.Execute());
        EXPECT_EQ(windows.given.PathLoaderURL, c.expected) << static_cast<int>(c.type);
    }
}

TEST(TPathLoader, TheConnectionWindowGetsTheProperties) {
    ScriptedWindows windows;
    TPathLoader loader(&windows);
    loader.SetCaption("Подключение");
    loader.SetConnectionDelay(5);
    loader.SetAllowSetProxy(false);
    loader.SetSoftwareID("{ID}");
    loader.SetMenuID("7");
    loader.SetProxy("proxy:3128");
    loader.SetProxyUserName("user");
    loader.SetProxyPassword("pwd");
    EXPECT_FALSE(loader.Execute());
    const ConnectionDialogArgs& a = windows.given;
    EXPECT_EQ(a.Caption, "Подключение");
    EXPECT_EQ(a.ConnectionDelay, 5);
    EXPECT_FALSE(a.AllowSetProxy);
    EXPECT_EQ(a.SoftwareID, "{ID}");
    EXPECT_EQ(a.MenuID, "7");
    EXPECT_EQ(a.Proxy, "proxy:3128");
    EXPECT_EQ(a.ProxyUserName, "user");
    EXPECT_EQ(a.ProxyPassword, "pwd");
}

TEST(TPathLoader, TheChosenConnection) {
    struct Case {
        const char* what;
        std::string menu;
        std::string paths;
        int choice;  // the choice window's answer
        bool result;
        int menuWindows;
        std::string menuText;  // what the choice window showed
        std::string caption;
        std::vector<std::string> chosenPaths;
    };
    const Case cases[] = {
        {"one entry: no choice window",
         "Основной",
         "http://a",
         -1,
         true,
         0,
         "",
         "Основной",
         {"http://a"}},
        {"three entries, the third chosen",
         "A\nB\nC",
         "a1\nb1\tb2\nc1\tc2",
         2,
         true,
         1,
         "A\r\nB\r\nC",
         "C",
         {"c1", "c2"}},
        {"P1 TAB P2 TAB P3",
         "A\nB",
         "P1\tP2\tP3\nQ",
         0,
         true,
         1,
         "A\r\nB",
         "A",
         {"P1", "P2", "P3"}},
        {"CR LF from the service gives an extra empty line",
         "A\r\nB",
         "a\r\nb",
         2,
         true,
         1,
         "A\r\n\r\nB",
         "B",
         {"b"}},
        {"an empty menu", "", "a", 0, false, 0, "", "", {}},
        {"the choice window closed", "A\nB", "a\nb", -1, false, 1, "A\r\nB", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedWindows windows;
        windows.connection = Delivers(c.menu, c.paths);
        windows.choice = c.choice;
        TPathLoader loader(&windows);
        loader.SetCaption("Выбор");
        EXPECT_EQ(loader.Execute(), c.result);
        EXPECT_EQ(windows.menus, c.menuWindows);
        EXPECT_EQ(windows.menuText, c.menuText);
        if (c.menuWindows > 0) {
            EXPECT_EQ(windows.menuCaption, "Выбор");
        }
        EXPECT_EQ(loader.MenuCaption(), c.caption);
        EXPECT_EQ(loader.Paths(), c.chosenPaths);
        EXPECT_EQ(loader.BasePath(), c.chosenPaths.empty() ? "" : c.chosenPaths.front());
        EXPECT_EQ(loader.ErrorMessage(), "");
    }
}

TEST(TPathLoader, TheProxyLeftInTheWindowComesBackOnlyOnSuccess) {
    ScriptedWindows windows;
    windows.connection = [](ConnectionDialogArgs& args) {
        args.Proxy = "";  // the field showed the system proxy
        args.ProxyUserName = "new user";
        args.ProxyPassword = "new pwd";
        args.MenuList = "A";
        args.PathList = "a";
        return true;
    };
    TPathLoader loader(&windows);
    loader.SetProxy("old:1");
    loader.SetProxyUserName("old user");
    EXPECT_TRUE(loader.Execute());
    EXPECT_EQ(loader.Proxy(), "");
    EXPECT_EQ(loader.ProxyUserName(), "new user");
    EXPECT_EQ(loader.ProxyPassword(), "new pwd");

    // Closed after an error: False, the message shown, the proxy as it was.
    windows.connection = [](ConnectionDialogArgs& args) {
        args.Proxy = "changed:2";
        args.ErrorMessage = "(404) Ресурс не найден";
        return false;
    };
    loader.SetProxy("kept:3");
    EXPECT_FALSE(loader.Execute());
    EXPECT_EQ(loader.ErrorMessage(), "(404) Ресурс не найден");
    EXPECT_EQ(loader.Proxy(), "kept:3");
    EXPECT_TRUE(loader.Paths().empty());
    EXPECT_EQ(loader.MenuCaption(), "");
}

TEST(TPathLoader, ResultsAreResetByEveryExecute) {
    ScriptedWindows windows;
    windows.connection = Delivers("A", "a1\ta2");
    TPathLoader loader(&windows);
    ASSERT_TRUE(loader.Execute());
    EXPECT_EQ(loader.BasePath(), "a1");
    windows.connection = [](ConnectionDialogArgs&) { return false; };
    EXPECT_FALSE(loader.Execute());
    EXPECT_EQ(loader.MenuCaption(), "");
    EXPECT_TRUE(loader.Paths().empty());
    EXPECT_EQ(loader.BasePath(), "");
}

// The service sent fewer path lines than menu lines, or an empty one for the choice: a
// list-index error the caller can catch.
TEST(TPathLoader, AMissingOrEmptyPathLineIsAnErrorForTheCaller) {
    const std::pair<std::string, std::string> cases[] = {
        {"A\nB\nC", "a\nb"},
        {"A\nB", "a\n"},
        {"A\nB", "a\n\nc"},
    };
    for (const auto& [menu, paths] : cases) {
        ScriptedWindows windows;
        windows.connection = Delivers(menu, paths);
        windows.choice = menu == "A\nB\nC" ? 2 : 1;
        TPathLoader loader(&windows);
        EXPECT_THROW((void)loader.Execute(), PathLoaderListIndexError) << menu << " / " << paths;
        EXPECT_TRUE(loader.Paths().empty());
    }
}

}  // namespace
}  // namespace korvalo
