#include "state/settings/settings_loader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "core/base64.h"
#include "support/files.h"
#include "support/system_proxy_double.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::FakeSystemProxy;

class SettingsLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        paths_.mainIni = (dir_ / "bin" / "korvalo.ini").string();
        paths_.perUserIni = (dir_ / "config" / "VALDOR" / "korvalo" / "korvalo.ini").string();
        fs::create_directories(dir_ / "bin");
    }
    static void PutFile(const std::string& path, const std::string& bytes) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    void PutMain(const std::string& bytes) const { PutFile(paths_.mainIni, bytes); }
    std::string GetMain() const { return testing::ReadBytesOrEmpty(paths_.mainIni); }
    Settings Load(const Settings& previous = {}) {
        return SettingsLoader(paths_, system_).Load(previous);
    }
    Settings LoadMain(const std::string& bytes) {
        PutMain(bytes);
        return Load();
    }

    testing::TempDir temp_;
    const fs::path dir_ = temp_.path();
    SettingsPaths paths_;
    FakeSystemProxy system_;
};

TEST_F(SettingsLoaderTest, NoFileAtAllGivesTheDefaults) {
    Settings previous;
    previous.pathLoader.SoftwareID = "{ID}";
    const Settings s = Load(previous);
    EXPECT_FALSE(s.useAutoProxy);
    EXPECT_EQ(s.proxyAddress, "");
    EXPECT_EQ(s.proxyPort, 80);
    EXPECT_EQ(s.proxyAccess, "");
    EXPECT_EQ(s.hashAlgOID, "");
    EXPECT_FALSE(s.signatureKZ);
    EXPECT_FALSE(s.debug);
    EXPECT_FALSE(s.debugExt);
    EXPECT_FALSE(s.avCrypt);
    EXPECT_EQ(s.socket_size, 4000);
    EXPECT_FALSE(s.bCheckUpdate);
    EXPECT_FALSE(s.listenAllInterfaces);
    EXPECT_EQ(s.pathLoader.MenuID, "");
    EXPECT_TRUE(s.pathLoader.AllowSetProxy);
    EXPECT_EQ(s.pathLoader.PathLoaderURLType, PathLoaderUrlType::plDefault);
    EXPECT_TRUE(s.pathLoader.PathLoaderURL.empty());
    EXPECT_EQ(s.pathLoader.Proxy, "");
    EXPECT_EQ(s.pathLoader.SoftwareID, "{ID}");
    EXPECT_EQ(system_.Calls(), 0);
    // AllowSetProxy is on, so the per-user folder now exists (the file itself is not made).
    EXPECT_TRUE(fs::is_directory(fs::path(paths_.perUserIni).parent_path()));
    EXPECT_FALSE(fs::exists(paths_.perUserIni));
}

TEST_F(SettingsLoaderTest, AllowSetProxyChoosesWhereThePathLoaderProxyComesFrom) {
    PutFile(paths_.perUserIni,
            "[proxy]\nProxyServer=user.proxy:3128\nProxyUser=Иван\nProxyPassword=日本\n");
    const std::string mainProxy =
        "[Proxy]\nProxyServer=main.proxy:8080\nProxyUser=main\nProxyPassword=secret\n";

    const Settings notANumber = LoadMain("[PathLoader]\nAllowSetProxy=false\n" + mainProxy);
    EXPECT_TRUE(notANumber.pathLoader.AllowSetProxy);
    EXPECT_EQ(notANumber.pathLoader.Proxy, "user.proxy:3128");
    EXPECT_EQ(notANumber.pathLoader.ProxyUserName, "Иван");  // in the single-byte code page
    EXPECT_EQ(notANumber.pathLoader.ProxyPassword, "??");    // outside it

    const Settings off = LoadMain("[PathLoader]\nAllowSetProxy=0\n" + mainProxy);
    EXPECT_FALSE(off.pathLoader.AllowSetProxy);
    EXPECT_EQ(off.pathLoader.Proxy, "main.proxy:8080");
    EXPECT_EQ(off.pathLoader.ProxyUserName, "main");
    EXPECT_EQ(off.pathLoader.ProxyPassword, "secret");

    EXPECT_TRUE(LoadMain("[PathLoader]\nAllowSetProxy=$10\n").pathLoader.AllowSetProxy);
}

TEST_F(SettingsLoaderTest, PathLoaderKeys) {
    Settings previous;
    previous.pathLoader.PathLoaderURL = {"http://kept/"};
    struct Case {
        std::string type;
        PathLoaderUrlType expected;
        std::vector<std::string> list;
    };
    const std::string url = "PathLoaderURL=http://a/soap; http://b/soap;\"http://c/x y\"\n";
    const Case cases[] = {
        {"0", PathLoaderUrlType::plDefault, {"http://kept/"}},
        {"1", PathLoaderUrlType::plLocal, {"http://kept/"}},
        {"0x2", PathLoaderUrlType::plCustom, {"http://a/soap", "http://b/soap", "http://c/x y"}},
        {"7", PathLoaderUrlType::plDefault, {"http://kept/"}},
        {"custom", PathLoaderUrlType::plDefault, {"http://kept/"}},
    };
    for (const Case& c : cases) {
        PutMain("[PathLoader]\nMenuID= menu-7 \nPathLoaderURLType=" + c.type + "\n" + url);
        const Settings s = Load(previous);
        EXPECT_EQ(s.pathLoader.PathLoaderURLType, c.expected) << c.type;
        EXPECT_EQ(s.pathLoader.PathLoaderURL, c.list) << c.type;
        EXPECT_EQ(s.pathLoader.MenuID, "menu-7");
    }
}

TEST(PathLoaderUrlList, SplitsAtSemicolonsBlanksAndControlCharactersOutsideQuotes) {
    using List = std::vector<std::string>;
    EXPECT_EQ(ParsePathLoaderUrlList("http://a;http://b"), (List{"http://a", "http://b"}));
    EXPECT_EQ(ParsePathLoaderUrlList(" http://a \t http://b\x01http://c ;; "),
              (List{"http://a", "http://b", "http://c"}));
    EXPECT_EQ(ParsePathLoaderUrlList("\"http://a/b c;d\";http://e"),
              (List{"http://a/b c;d", "http://e"}));
    EXPECT_EQ(ParsePathLoaderUrlList("\"say \"\"hi\"\"\""), (List{"say \"hi\""}));
    EXPECT_EQ(ParsePathLoaderUrlList("\"unclosed;x y"), (List{"unclosed;x y"}));
    EXPECT_EQ(ParsePathLoaderUrlList("\"a\"b;\"\""), (List{"a", "b"}));
    EXPECT_EQ(ParsePathLoaderUrlList(""), List{});
}

TEST_F(SettingsLoaderTest, Pkcs11ModulesAreSplitAtSemicolons) {
    using List = std::vector<std::string>;
    EXPECT_EQ(LoadMain("[Main]\n").pkcs11Modules, List{});
    EXPECT_EQ(LoadMain("[main]\nPKCS11MODULES= /opt/a b/x.so ;;/usr/lib/y.so; \n").pkcs11Modules,
              (List{"/opt/a b/x.so", "/usr/lib/y.so"}));
    EXPECT_EQ(ParseModuleList("librtpkcs11ecp.so"), List{"librtpkcs11ecp.so"});
}

TEST_F(SettingsLoaderTest, IntegerAndFlagRules) {
    struct Case {
        std::string line;
        bool checkUpdate;
        bool debug;
        int socketSize;
    };
    const Case cases[] = {
        {"checkupdate=0x1", true, false, 4000},     {"checkupdate=1", true, false, 4000},
        {"checkupdate=$1", true, false, 4000},      {"checkupdate=true", false, false, 4000},
        {"checkupdate=2", false, false, 4000},      {"debug= TRUE ", false, true, 4000},
        {"debug=True", false, true, 4000},          {"debug=1", false, false, 4000},
        {"debug=yes", false, false, 4000},          {"socket_size=8192", false, false, 8192},
        {"socket_size=0x1000", false, false, 4096}, {"socket_size=-1", false, false, -1},
        {"socket_size=big", false, false, 4000},    {"socket_size=99999999999", false, false, 4000},
    };
    for (const Case& c : cases) {
        const Settings s = LoadMain("[Main]\n" + c.line + "\n");
        EXPECT_EQ(s.bCheckUpdate, c.checkUpdate) << c.line;
        EXPECT_EQ(s.debug, c.debug) << c.line;
        EXPECT_EQ(s.socket_size, c.socketSize) << c.line;
    }
}

TEST_F(SettingsLoaderTest, MainKeys) {
    const Settings s = LoadMain(
        "[MAIN]\nhashAlgOID= 1.2.112.0.2.0.34.101.31.81 \nprovider= iola \ndebugExt=true\n"
        "avCrypt=TRUE\nlistenAllInterfaces= True \n");
    EXPECT_EQ(s.hashAlgOID, "1.2.112.0.2.0.34.101.31.81");
    EXPECT_TRUE(s.listenAllInterfaces);
    EXPECT_FALSE(LoadMain("[Main]\nlistenAllInterfaces=1\n").listenAllInterfaces);
    EXPECT_TRUE(s.signatureKZ);
    EXPECT_TRUE(s.debugExt);
    EXPECT_FALSE(s.debug);
    EXPECT_TRUE(s.avCrypt);
    EXPECT_FALSE(LoadMain("[Main]\nprovider=IOLA2\n").signatureKZ);
}

TEST_F(SettingsLoaderTest, ProxyPort) {
    const std::pair<std::string, int> cases[] = {
        {"[proxy]\nproxyPort=abc\n", 80},    {"[proxy]\n", 80},
        {"[proxy]\nproxyPort=3128\n", 3128}, {"[proxy]\nproxyPort= 31 28 \n", 3128},
        {"[proxy]\nproxyPort=$C38\n", 3128}, {"[proxy]\nproxyPort=\n", 80},
    };
    for (const auto& [file, port] : cases)
        EXPECT_EQ(LoadMain(file).proxyPort, port) << file;
}

TEST_F(SettingsLoaderTest, ProxyAndproxyAreOneSection) {
    const Settings s = LoadMain(
        "[PathLoader]\nAllowSetProxy=0\n"
        "[Proxy]\nProxyServer=loader.proxy\nproxyAddress= 10.1.1.1 \nproxyPort=3128\n"
        "[proxy]\nproxyAddress=second section, never read\nuseAutoProxy=true\n");
    EXPECT_EQ(s.pathLoader.Proxy, "loader.proxy");
    EXPECT_EQ(s.proxyAddress, "10.1.1.1");
    EXPECT_EQ(s.proxyPort, 3128);
    EXPECT_FALSE(s.useAutoProxy);
}

TEST_F(SettingsLoaderTest, ProxyAccessGivesTheCredentials) {
    Settings previous;
    previous.userName = "old user";
    previous.userPwd = "old password";
    struct Case {
        std::string decoded;  // what the stored Base64 holds
        std::string userName;
        std::string userPwd;
    };
    const Case cases[] = {
        {"user:secret", "user", "secret"},
        {"user:pa:ss:word", "user", "pa:ss:word"},  // the whole password is kept
        {"user:", "user", ""},
        {":", "", ""},
        {"  \"user\": 'secret'", "user", "secret"},
        {"'a b':x ", "a b", "x "},
        {"user: pa:ss", "user", " pa:ss"},
        {"nocolon", "", ""},
        {"\xD0\xB8:\xFF", "??", "?"},
    };
    for (const Case& c : cases) {
        const std::string stored = Base64Encode(c.decoded);
        const Settings s = LoadMain("[proxy]\nproxyAccess= " + stored + " \n");
        EXPECT_EQ(s.proxyAccess, stored);
        const Settings kept = Load(previous);
        EXPECT_EQ(kept.userName, c.userName) << c.decoded;
        EXPECT_EQ(kept.userPwd, c.userPwd) << c.decoded;
        EXPECT_EQ(s.userName, c.userName);
    }
    // Text that is no Base64 decodes to what the lenient decoder makes of it.
    const Settings garbage = LoadMain("[proxy]\nproxyAccess=!!!\n");
    EXPECT_EQ(garbage.userName, "");
    EXPECT_EQ(garbage.userPwd, "");

    // An empty value keeps the credentials known before.
    const Settings empty = LoadMain("[proxy]\nproxyAccess=\n");
    EXPECT_EQ(Load(previous).userName, "old user");
    EXPECT_EQ(Load(previous).userPwd, "old password");
    EXPECT_EQ(empty.proxyAccess, "");
}

TEST(ProxyAccess, EncodingRoundTripsAndReplacesNonAscii) {
    EXPECT_EQ(EncodeProxyAccess("", ""), "Og==");  // a single colon
    EXPECT_EQ(EncodeProxyAccess("user", "secret"), Base64Encode("user:secret"));
    EXPECT_EQ(EncodeProxyAccess("Иван", "пароль1"), Base64Encode("????:??????1"));
    const ProxyCredentials back = DecodeProxyAccess(EncodeProxyAccess("dom\\user", "a:b:c"));
    EXPECT_EQ(back.userName, "dom\\user");
    EXPECT_EQ(back.userPwd, "a:b:c");
}

TEST_F(SettingsLoaderTest, SystemProxyReplacesTheFilesProxyOnlyWhenItNamesAHost) {
    const std::string file =
        "[proxy]\nuseAutoProxy= true \nproxyAddress=file.proxy\nproxyPort=3128\n";

    system_.answer = {"H", 0};
    Settings s = LoadMain(file);
    EXPECT_TRUE(s.useAutoProxy);
    EXPECT_EQ(s.proxyAddress, "H");
    EXPECT_EQ(s.proxyPort, 0);

    system_.answer = {"sys.proxy", 8080};
    s = Load();
    EXPECT_EQ(s.proxyAddress, "sys.proxy");
    EXPECT_EQ(s.proxyPort, 8080);

    system_.answer = {};
    s = Load();
    EXPECT_EQ(s.proxyAddress, "file.proxy");
    EXPECT_EQ(s.proxyPort, 3128);

    system_.fail = true;
    s = Load();
    EXPECT_EQ(s.proxyAddress, "file.proxy");
    EXPECT_EQ(s.proxyPort, 3128);

    const int calls = system_.Calls();
    system_.fail = false;
    system_.answer = {"H", 1};
    s = LoadMain("[proxy]\nuseAutoProxy=1\nproxyAddress=file.proxy\n");
    EXPECT_EQ(system_.Calls(), calls);  // not asked when useAutoProxy is off
    EXPECT_EQ(s.proxyAddress, "file.proxy");
}

TEST_F(SettingsLoaderTest, BadFilesNeverStopTheLoader) {
    std::mt19937 random(1234);
    std::string binary(256 * 1024, '\0');
    for (char& c : binary)
        c = static_cast<char>(random());
    const std::string longLine(1 << 20, 'x');
    const std::string longBrackets = "[" + std::string(1 << 20, '[') + "\n";
    const std::string cases[] = {
        binary,
        "[Main]\n" + binary,
        longLine,
        "[Main]\nsocket_size=" + longLine + "\n",
        "[proxy]\nproxyAccess=" + longLine + "\nproxyPort=" + std::string(100000, '9') + "\n",
        longBrackets,
        "no sections at all\ndebug=true\nproxyPort=1\n",
        std::string("[Main]\0debug=true\n", 19),
        "[Main\ndebug=true\n",
        "\xFF\xFE[",
        "\xFE\xFF\x00",
        "=\n=\n[]\n[=]\n]\n",
    };
    for (const std::string& bytes : cases) {
        const Settings s = LoadMain(bytes);
        EXPECT_FALSE(s.debug);
        EXPECT_EQ(s.proxyPort, 80);
        EXPECT_EQ(s.socket_size, 4000);
        EXPECT_TRUE(s.pathLoader.AllowSetProxy);
    }

    // Readable keys around garbage are still read.
    const Settings mixed = LoadMain("[Main]\n" + longLine + "\n\xC0\xFF\x01\ndebug=true\n");
    EXPECT_TRUE(mixed.debug);

    // The main file's path names a folder: the defaults.
    fs::remove(paths_.mainIni);
    fs::create_directory(paths_.mainIni);
    EXPECT_EQ(Load().proxyPort, 80);

    // The per-user folder cannot be created (a file stands in its way): the values stay empty.
    fs::remove(paths_.mainIni);
    PutFile((dir_ / "config" / "VALDOR").string(), "a file");
    const Settings blocked = Load();
    EXPECT_EQ(blocked.pathLoader.Proxy, "");
    EXPECT_TRUE(blocked.pathLoader.AllowSetProxy);
}

TEST_F(SettingsLoaderTest, OptionsValuesAreWrittenAsTheDialogStoresThem) {
    PutMain(
        "; written by hand\r\n"
        "[proxy]\r\n"
        "useAutoProxy=true\r\n"
        "proxyAddress=old\r\n"
        "[Main]\r\n"
        "debug=true\r\n"
        "debugExt=true\r\n"
        "avCrypt=true\r\n"
        "checkupdate=1\r\n"
        "provider=other\r\n"
        "[PathLoader]\r\n"
        "MenuID=5\r\n");
    OptionsValues v = ReadOptionsValues(paths_.mainIni);
    EXPECT_TRUE(v.useAutoProxy);
    EXPECT_TRUE(v.debug);
    EXPECT_TRUE(v.debugExt);
    EXPECT_TRUE(v.avCrypt);
    EXPECT_TRUE(v.bCheckUpdate);
    EXPECT_EQ(v.proxyAddress, "old");

    v.useAutoProxy = false;
    v.proxyAddress = "10.0.0.1";
    v.proxyPort = "3128";
    v.proxyAccess = EncodeProxyAccess("user", "pwd");
    v.debug = false;  // leaves the stored key as it is
    v.avCrypt = false;
    v.bCheckUpdate = false;
    v.hashAlgOID = "";  // not written when empty
    WriteOptionsValues(paths_.mainIni, v);
    EXPECT_EQ(GetMain(),
              "; written by hand\r\n"
              "[proxy]\r\n"
              "useAutoProxy=\r\n"
              "proxyAddress=10.0.0.1\r\n"
              "proxyPort=3128\r\n"
              "proxyAccess=dXNlcjpwd2Q=\r\n"
              "[Main]\r\n"
              "debug=true\r\n"
              "debugExt=true\r\n"
              "provider=other\r\n"
              "[PathLoader]\r\n"
              "MenuID=5\r\n");

    const Settings s = Load();
    EXPECT_EQ(s.proxyAddress, "10.0.0.1");
    EXPECT_EQ(s.proxyPort, 3128);
    EXPECT_EQ(s.userName, "user");
    EXPECT_EQ(s.userPwd, "pwd");
    EXPECT_TRUE(s.debug);
    EXPECT_FALSE(s.avCrypt);
    EXPECT_FALSE(s.bCheckUpdate);

    // Into a file that does not exist yet.
    fs::remove(paths_.mainIni);
    OptionsValues fresh;
    fresh.useAutoProxy = true;
    fresh.hashAlgOID = "1.2.3";
    fresh.debug = true;
    fresh.avCrypt = true;
    fresh.bCheckUpdate = true;
    WriteOptionsValues(paths_.mainIni, fresh);
    EXPECT_EQ(GetMain(),
              "[proxy]\nuseAutoProxy=true\nproxyAddress=\nproxyPort=\nproxyAccess=\n"
              "\n[Main]\nhashAlgOID=1.2.3\ndebug=true\navCrypt=true\ncheckupdate=1\n");
    const OptionsValues back = ReadOptionsValues(paths_.mainIni);
    EXPECT_TRUE(back.useAutoProxy && back.debug && back.avCrypt && back.bCheckUpdate);
    EXPECT_EQ(back.hashAlgOID, "1.2.3");
}

TEST_F(SettingsLoaderTest, StoredProxyAccessLandsInTheProxySectionAndIsReadBack) {
    PutMain("[proxy]\nproxyAddress=10.0.0.1\nproxyAccess=\n[Main]\ndebug=true\n");
    StoreProxyAccess(paths_.mainIni, EncodeProxyAccess("user", "pa:ss"));
    EXPECT_EQ(GetMain(), "[proxy]\nproxyAddress=10.0.0.1\nproxyAccess=" +
                             Base64Encode("user:pa:ss") + "\n[Main]\ndebug=true\n");
    const Settings s = Load();
    EXPECT_EQ(s.userName, "user");
    EXPECT_EQ(s.userPwd, "pa:ss");

    // A file that cannot be written reports it.
    fs::remove(paths_.mainIni);
    fs::create_directory(paths_.mainIni);
    EXPECT_THROW(StoreProxyAccess(paths_.mainIni, "Og=="), std::system_error);
}

}  // namespace
}  // namespace korvalo
