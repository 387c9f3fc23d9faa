// The private temporary folder and the files in it: which folders are refused and why, files
// that never follow a link or replace a file, names that never collide, removal.

#include "core/temp_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "core/paths.h"
#include "support/files.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The reason OpenPrivateFolder gives, or "" when it accepts the folder.
std::string Refusal(const std::string& folder) {
    try {
        const UniqueFd fd = OpenPrivateFolder(folder);
        return fd.ok() ? "" : "not opened";
    } catch (const TempFolderError& e) {
        return e.what();
    }
}

TEST(PrivateFolder, CreatedPrivateAndRefusedWhenNotTheUsersOwn) {
    TempDir dir;
    // Made when missing, mode 0700 whatever the umask; a trailing "/" is fine.
    EXPECT_EQ(Refusal((dir / "Korvalo").string() + "/"), "");
    EXPECT_EQ(ModeOf(dir / "Korvalo"), 0700u);
    EXPECT_EQ(Refusal((dir / "Korvalo").string()), "");  // existing and private: used

    struct Case {
        std::string what;
        std::function<void(const fs::path&)> make;
        std::string reason;  // the beginning of the refusal
    };
    const Case cases[] = {
        {"open to others",
         [](const fs::path& p) {
             fs::create_directory(p);
             ::chmod(p.c_str(), 0755);
         },
         "папка доступна другим пользователям (права 0755)"},
        {"writable by the group",
         [](const fs::path& p) {
             fs::create_directory(p);
             ::chmod(p.c_str(), 0730);
         },
         "папка доступна другим пользователям (права 0730)"},
        {"a link to a private folder",
         [&](const fs::path& p) {
             fs::create_directory(dir / "elsewhere");
             ::chmod((dir / "elsewhere").c_str(), 0700);
             fs::create_directory_symlink(dir / "elsewhere", p);
         },
         "это символическая ссылка"},
        {"a dangling link", [&](const fs::path& p) { fs::create_symlink(dir / "nowhere", p); },
         "это символическая ссылка"},
        {"a file", [](const fs::path& p) { WriteBytes(p, "x"); }, "это не папка"},
        {"a parent that is missing", [](const fs::path&) {}, "не удается создать папку"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path folder = c.what == "a parent that is missing"
                                    ? dir / "missing" / "Korvalo"
                                    : dir / ("case" + std::to_string(n++));
        c.make(folder);
        EXPECT_TRUE(Refusal(folder.string() + "/").starts_with(c.reason))
            << c.what << ": " << Refusal(folder.string());
    }
}

TEST(PrivateFolder, AnotherUsersFolderIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    TempDir dir;
    const fs::path folder = dir / "Korvalo";
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Refusal(folder.string()), "папка принадлежит другому пользователю (uid 65534)");
}

TEST(PrivateFolder, PerUserLocation) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime != nullptr ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(KorvaloTempFolder(), "/run/user/1234/Korvalo/");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(KorvaloTempFolder(),
              SystemTempFolder() + "Korvalo-" + std::to_string(::geteuid()) + "/");
    if (runtime != nullptr)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST(ExclusiveFile, NeverFollowsALinkNorReplacesAFile) {
    TempDir dir;
    const std::string folder = (dir / "Korvalo").string() + "/";
    const UniqueFd fd = OpenPrivateFolder(folder);
    // What a planted link points to, and a file of another request.
    WriteBytes(dir / "victim", "precious");
    fs::create_symlink(dir / "victim", dir / "Korvalo" / "2026_1.htm");
    WriteBytes(dir / "Korvalo" / "2026_1_2.htm", "another request's message");

    CreatedFile first = CreateExclusiveFile(fd.get(), folder, "2026_1", ".htm");
    EXPECT_EQ(first.path, folder + "2026_1_3.htm");
    WriteAndClose(first, "mine");
    CreatedFile second = CreateExclusiveFile(fd.get(), folder, "2026_1", ".htm");
    EXPECT_EQ(second.path, folder + "2026_1_4.htm");
    CreatedFile other = CreateExclusiveFile(fd.get(), folder, "2026_1", ".txt");
    EXPECT_EQ(other.path, folder + "2026_1.txt");

    EXPECT_EQ(ReadBytes(dir / "victim"), "precious");
    EXPECT_TRUE(fs::is_symlink(dir / "Korvalo" / "2026_1.htm"));
    EXPECT_EQ(ReadBytes(dir / "Korvalo" / "2026_1_2.htm"), "another request's message");
    EXPECT_EQ(ReadBytes(first.path), "mine");
    EXPECT_EQ(ModeOf(first.path), 0600u);
}

TEST(ExclusiveFile, RemovedWithItsOwner) {
    TempDir dir;
    const fs::path file = dir / "a.htm";
    WriteBytes(file, "x");
    {
        ScopedFileRemoval removal(file.string());
        ScopedFileRemoval moved(std::move(removal));
        EXPECT_TRUE(removal.path().empty());
        EXPECT_TRUE(fs::exists(file));
    }
    EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace korvalo
