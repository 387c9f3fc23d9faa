// Tests of the AvCryptMail binding against fake libraries that record the calls they get.

#include "services/engines/avcryptmail.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

// Copies a built fake into folder as libAvCryptMail.so.<version> and links libAvCryptMail.so
// to it; returns the path of the copy.
fs::path Install(const char* built, const fs::path& folder, const std::string& version) {
    const fs::path file = folder / ("libAvCryptMail.so." + version);
    fs::copy_file(built, file, fs::copy_options::overwrite_existing);
    fs::remove(folder / "libAvCryptMail.so");
    fs::create_symlink(file.filename(), folder / "libAvCryptMail.so");
    return file;
}

// The loader's own text for loading path (and the module released again).
std::string LoaderTextFor(const fs::path& path) {
    dlerror();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module != nullptr) {
        dlclose(module);
        return "";
    }
    return dlerror();
}

// The text LoadAvCryptMail() fails with; "loaded" when it does not fail.
std::string LoadFailure() {
    try {
        LoadAvCryptMail();
        return "loaded";
    } catch (const AvCryptMailError& e) {
        return e.what();
    }
}

// Whether the file at path is loaded in this process now.
bool ModuleLoaded(const fs::path& path) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr)
        return false;
    dlclose(module);
    return true;
}

// Reads (and forgets) what the loaded fake recorded.
std::string TakeFakeCalls(const AvCryptMailLibrary& library) {
    void* module = dlopen(library.Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr)
        return "<fake not loaded>";
    auto calls = reinterpret_cast<const char* (*)()>(dlsym(module, "FakeAvCalls"));
    auto reset = reinterpret_cast<void (*)()>(dlsym(module, "FakeAvReset"));
    std::string result = calls();
    reset();
    dlclose(module);
    return result;
}

class AvCryptMailBinding : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadAvCryptMail();
        setenv("KORVALO_AVEST_DIR", temp_.path().c_str(), 1);
    }
    void TearDown() override {
        UnloadAvCryptMail();
        unsetenv("KORVALO_AVEST_DIR");
    }
    // Installs a fake of the given version in the Avest folder and loads it by the default name.
    std::shared_ptr<const AvCryptMailLibrary> LoadFake(const char* built,
                                                       const std::string& version) {
        Install(built, temp_.path(), version);
        LoadAvCryptMail();
        auto library = AvCryptMail();
        if (library)
            TakeFakeCalls(*library);
        return library;
    }

    TempDir temp_;
};

// ---- version gates ----

struct GateCase {
    std::string version;
    bool ocsp;       // after "2.36.0"
    bool crl;        // after "3.0.0"
    bool attribute;  // after "3.3.3"
    bool scep;       // after "3.4.0"; also the attribute-certificate search
    bool tls;        // after "4.0.0"
};

class AvCryptMailGates : public AvCryptMailBinding,
                         public ::testing::WithParamInterface<GateCase> {};

TEST_P(AvCryptMailGates, BindsGroupsAfterTheirGateAndStubsTheRest) {
    const GateCase& c = GetParam();
    auto library = LoadFake(FAKE_AV_FULL, c.version);
    ASSERT_TRUE(library);
    EXPECT_EQ(library->Version(), c.version);
    const AvCmEntryPoints& e = library->Entries();

    // Each call either reaches the fake (recorded, result 0) or is the version stub.
    auto expect = [&](bool bound, const char* name, AvCmResult result) {
        const std::string calls = TakeFakeCalls(*library);
        if (bound) {
            EXPECT_EQ(result, AVCM_OK) << name;
            EXPECT_EQ(calls, std::string(name) + ";") << name;
        } else {
            EXPECT_EQ(result, 3895066918u) << name;
            EXPECT_EQ(calls, "") << name;
        }
    };
    uint32_t length = 0;
    AvCmHandle handle = nullptr;
    expect(c.ocsp, "AvCmMsgOCSPAddResponse", e.AvCmMsgOCSPAddResponse(nullptr, nullptr, 0, 0));
    expect(c.ocsp, "AvCmMsgOCSPGetResponseAttr",
           e.AvCmMsgOCSPGetResponseAttr(nullptr, 0, 0, nullptr, &length, 0));
    expect(c.ocsp, "AvCmMsgOCSPGetResponse",
           e.AvCmMsgOCSPGetResponse(nullptr, 0, nullptr, &length, 0));
    expect(c.crl, "AvCmCheckCrlDP", e.AvCmCheckCrlDP(nullptr, 0));
    expect(c.attribute, "AvCmMsgSetAttribute",
           library->AvCmMsgSetAttribute(nullptr, 0x323, &handle, 0, 0, 0));
    expect(c.scep, "AvCmCreateScep", e.AvCmCreateScep(nullptr, &handle, 0));
    expect(c.scep, "AvCmScepExecute", e.AvCmScepExecute(nullptr, 0));
    expect(c.scep, "AvCmScepSet", e.AvCmScepSet(nullptr, 0, nullptr, 0, 0));
    expect(c.scep, "AvCmScepGet", e.AvCmScepGet(nullptr, 0, nullptr, &length, 0));
    expect(c.scep, "AvCmOpenEnum", e.AvCmOpenEnum(nullptr, 0, 0, nullptr, &handle, 0));
    expect(c.scep, "AvCmShowObjectInfoExt", e.AvCmShowObjectInfoExt(nullptr, 0));
    expect(c.tls, "AvCmTLSCreateConnect", e.AvCmTLSCreateConnect(nullptr, "", &handle, 0));
    expect(c.tls, "AvCmTlsGet", e.AvCmTlsGet(nullptr, "", nullptr, &length, 0));
    expect(c.tls, "AvCmTlsPost", e.AvCmTlsPost(nullptr, "", nullptr, 0, nullptr, &length, 0));
    expect(c.tls, "AvCmDebugLog", e.AvCmDebugLog(0, ""));

    // The attribute-certificate search is guarded by the "3.4.0" gate; other searches are not.
    const AvCmFindParam attrSearch[] = {{0x323, 0, &handle}};
    expect(c.scep, "AvCmOpenCertEnum",
           library->AvCmOpenCertEnum(nullptr, 1, attrSearch, &handle, 0));
    const uint32_t personal = 1;
    const AvCmFindParam certSearch[] = {{0x25, 0, &personal}, {0x323, 0, &handle}};
    expect(true, "AvCmOpenCertEnum",
           library->AvCmOpenCertEnum(nullptr, 2, certSearch, &handle, 0x8000));

    // Entry points without a gate always reach the library.
    expect(true, "AvCmInit", library->AvCmInit(1));
    expect(true, "AvCmMsgSign", library->AvCmMsgSign(nullptr, 0x2100000));
}

INSTANTIATE_TEST_SUITE_P(Versions, AvCryptMailGates,
                         ::testing::Values(GateCase{"2.36.0.0", true, false, false, false, false},
                                           GateCase{"3.3.9.0", true, true, true, false, false},
                                           GateCase{"3.4.0.0", true, true, true, true, false},
                                           GateCase{"4.1.0.0", true, true, true, true, true},
                                           // Ordinal comparison: "10.0.0.0" sorts before "2.36.0".
                                           GateCase{"10.0.0.0", false, false, false, false, false},
                                           // "0.0.0.0" for a file without a version suffix.
                                           GateCase{"0.0.0.0", false, false, false, false, false}),
                         [](const auto& info) {
                             std::string name = "v" + info.param.version;
                             for (char& ch : name)
                                 if (ch == '.')
                                     ch = '_';
                             return name;
                         });

TEST(AvCryptMailVersion, ComparesTextsByteByByte) {
    struct Case {
        const char* version;
        const char* gate;
        bool after;
    };
    for (const Case& c : {Case{"3.4.0.0", "3.4.0", true}, Case{"3.4.0", "3.4.0", false},
                          Case{"3.3.9.0", "3.4.0", false}, Case{"3.3.9.0", "3.3.3", true},
                          Case{"10.0.0.0", "3.4.0", false}, Case{"4.0.0.0", "4.0.0", true},
                          Case{"2.36.1.0", "2.36.0", true}, Case{"2.4.0.0", "2.36.0", true}})
        EXPECT_EQ(VersionAfter(c.version, c.gate), c.after) << c.version << " vs " << c.gate;
}

TEST(AvCryptMailVersion, TakesTheSuffixOfTheFileTheNameResolvesTo) {
    TempDir temp;
    const fs::path& d = temp.path();
    auto touch = [&](const std::string& name) {
        std::ofstream(d / name) << "x";
        return (d / name).string();
    };
    touch("libAvCryptMail.so.4.1.0.0");
    fs::create_symlink("libAvCryptMail.so.4.1.0.0", d / "libAvCryptMail.so.4");
    fs::create_symlink("libAvCryptMail.so.4", d / "libAvCryptMail.so");
    fs::create_directory(d / "plain");
    struct Case {
        std::string path;
        const char* version;
    };
    for (const Case& c : {Case{(d / "libAvCryptMail.so").string(), "4.1.0.0"},
                          Case{touch("plain/libAvCryptMail.so"), "0.0.0.0"},
                          Case{touch("libAvCryptMail.so.3.4.1.0"), "3.4.1.0"},
                          Case{touch("libAvCryptMail.so.5"), "5.0.0.0"},
                          Case{touch("libAvCryptMail.so.007.1"), "7.1.0.0"},
                          Case{touch("libAvCryptMail.so.1.2.3.4.5"), "0.0.0.0"},
                          Case{touch("libAvCryptMail.so.3.x"), "0.0.0.0"},
                          Case{touch("libAvCryptMail.so.3..1"), "0.0.0.0"},
                          Case{touch("libAvCryptMail.so.99999999999"), "0.0.0.0"},
                          Case{(d / "missing.so.1.2.3.4").string(), "1.2.3.4"}})
        EXPECT_EQ(AvCryptMailVersionOf(c.path), c.version) << c.path;
}

TEST_F(AvCryptMailBinding, ResolvesNamesInTheAvestFolder) {
    const std::string folder = temp_.path().string() + "/";
    EXPECT_EQ(AvestFolder(), folder);
    EXPECT_EQ(AvCryptMailPath(""), folder + "libAvCryptMail.so");
    EXPECT_EQ(AvCryptMailPath("other.so"), folder + "other.so");
    EXPECT_EQ(AvCryptMailPath("/usr/lib/x.so"), "/usr/lib/x.so");
    unsetenv("KORVALO_AVEST_DIR");
    EXPECT_EQ(AvCryptMailPath(""), "/opt/Avest/AvPCM_nces/libAvCryptMail.so");
}

// ---- loading and unloading ----

TEST_F(AvCryptMailBinding, LoadsOnceAndUnloadsWhenNoRunHoldsTheLibrary) {
    const fs::path file = Install(FAKE_AV_FULL, temp_.path(), "3.4.1.0");
    EXPECT_FALSE(AvCryptMailLoaded());
    EXPECT_EQ(AvCryptMail(), nullptr);

    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([] { LoadAvCryptMail(); });
    for (auto& t : threads)
        t.join();
    auto held = AvCryptMail();
    ASSERT_TRUE(held);
    EXPECT_TRUE(AvCryptMailLoaded());
    EXPECT_EQ(held->Version(), "3.4.1.0");
    LoadAvCryptMail("");  // nothing if loaded
    EXPECT_EQ(AvCryptMail(), held);

    // Unloading forgets the copy at once; a run that holds it keeps the module until it ends.
    UnloadAvCryptMail();
    EXPECT_FALSE(AvCryptMailLoaded());
    EXPECT_TRUE(ModuleLoaded(file));
    EXPECT_EQ(held->AvCmInit(2), AVCM_OK);
    held.reset();
    EXPECT_FALSE(ModuleLoaded(file));
    UnloadAvCryptMail();  // nothing loaded: nothing happens

    // A name with a folder is loaded from there.
    LoadAvCryptMail(file.string());
    EXPECT_EQ(AvCryptMail()->Path(), file.string());
}

TEST_F(AvCryptMailBinding, MissingFileFailsWithTheLoadersText) {
    const std::string expected = LoaderTextFor(temp_.path() / "libAvCryptMail.so");
    ASSERT_NE(expected.find("No such file"), std::string::npos) << expected;
    EXPECT_EQ(LoadFailure(), expected);
    EXPECT_FALSE(AvCryptMailLoaded());
}

TEST_F(AvCryptMailBinding, FileThatIsNoLibraryFailsWithTheLoadersText) {
    std::ofstream(temp_.path() / "libAvCryptMail.so.4.1.0.0") << "this is not a shared library\n";
    fs::create_symlink("libAvCryptMail.so.4.1.0.0", temp_.path() / "libAvCryptMail.so");
    const std::string expected = LoaderTextFor(temp_.path() / "libAvCryptMail.so");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(LoadFailure(), expected);
    EXPECT_FALSE(AvCryptMailLoaded());
}

TEST_F(AvCryptMailBinding, MissingRequiredEntryPointFailsAndReleasesTheModule) {
    struct Case {
        const char* built;
        const char* version;
        const char* missing;
    };
    for (const Case& c : {Case{FAKE_AV_NO_INIT, "4.1.0.0", "AvCmInit"},
                          Case{FAKE_AV_NO_INIT, "1.0.0.0", "AvCmInit"},
                          // first of the "3.3.3" group, required once the version is after it
                          Case{FAKE_AV_NO_SET_ATTRIBUTE, "3.4.0.0", "AvCmMsgSetAttribute"}}) {
        const fs::path file = Install(c.built, temp_.path(), c.version);
        try {
            LoadAvCryptMail();
            FAIL() << "loaded " << c.version;
        } catch (const AvCryptMailError& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find(c.missing), std::string::npos) << text;
            EXPECT_NE(text.find("undefined symbol"), std::string::npos) << text;
        }
        EXPECT_FALSE(AvCryptMailLoaded());
        EXPECT_EQ(AvCryptMail(), nullptr);
        EXPECT_FALSE(ModuleLoaded(file)) << c.version;
        fs::remove(file);
    }
}

TEST_F(AvCryptMailBinding, MissingOptionalEntryPointThrowsWhenCalled) {
    // Below "3.3.3" the missing AvCmMsgSetAttribute is the version stub; AvCmLogin has no gate
    // and is optional: the load succeeds and only the call fails.
    auto library = LoadFake(FAKE_AV_NO_SET_ATTRIBUTE, "3.3.0.0");
    ASSERT_TRUE(library);
    AvCmHandle handle = nullptr;
    EXPECT_EQ(library->AvCmMsgSetAttribute(nullptr, 0x323, &handle, 0, 0, 0), 0xE82A0126u);
    EXPECT_EQ(library->Entries().AvCmLogin, nullptr);
    const uint32_t mode = 0x100;
    const AvCmLoginParam login[] = {{1, &mode}};
    try {
        (void)library->AvCmLogin(1, login, &handle, 4);  // throws
        FAIL() << "called";
    } catch (const AvCryptMailError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("undefined symbol: AvCmLogin"), std::string::npos) << text;
    }
    EXPECT_EQ(library->AvCmLogout(nullptr, 0), AVCM_OK);
    EXPECT_EQ(TakeFakeCalls(*library), "AvCmLogout;");
}

// ---- error texts ----

TEST_F(AvCryptMailBinding, ErrorTextIsTheLibrarysOwnOrTheCode) {
    EXPECT_EQ(AvErrorText(nullptr, 0xE82A0126u), "AvError: 3895066918");  // nothing loaded

    auto library = LoadFake(FAKE_AV_FULL, "4.1.0.0");
    ASSERT_TRUE(library);
    EXPECT_EQ(AvErrorText(nullptr, 0x1234), "Ошибка ключа");
    // one call for the length, one for the text
    EXPECT_EQ(TakeFakeCalls(*library), "AvCmGetErrorInfo;AvCmGetErrorInfo;");
    EXPECT_EQ(AvErrorText(nullptr, 0xE82A0126u), "AvError: 3895066918");  // no text
    EXPECT_EQ(AvErrorText(nullptr, 0x2222), "AvError: 8738");             // an empty text
    EXPECT_EQ(library->ErrorText(nullptr, 0x1234), "Ошибка ключа");
}

}  // namespace
}  // namespace korvalo
