// Other programs: the usual splitting of a command line and the detached start of a program.
#include "platform/desktop/commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/files.h"
#include "support/wait.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytesOrEmpty;
using testing::TempDir;

TEST(SplitCommandLine, BlanksSeparateAndDoubleQuotesGroup) {
    const struct {
        std::string text;
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a b\tc", {"a", "b", "c"}},
        {"  a   b  ", {"a", "b"}},
        {"\" \"", {" "}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"\"/home/x/my bin/\" \"http://h/a b\" ru", {"/home/x/my bin/", "http://h/a b", "ru"}},
        {"pre\"in side\"post next", {"prein sidepost", "next"}},
        {"\"unclosed tail", {"unclosed tail"}},
        {"path\\\"still\\", {"path\\still\\"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandLine(c.text), c.args) << c.text;
}

// The file's lines once its last line is "end" (at most ten seconds), else nothing.
std::vector<std::string> WaitForLines(const fs::path& file) {
    std::string text;
    if (!testing::WaitUntil([&] { return (text = ReadBytesOrEmpty(file)).ends_with("end\n"); },
                            std::chrono::seconds(10)))
        return {};
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(StartDetached, ItsOwnSessionItsArgumentsAndNoInheritedDescriptors) {
    TempDir dir;
    const fs::path script = dir / "program";
    const fs::path out = dir / "out";
    // A descriptor the child must not get, although it is not marked close-on-exec.
    const int opened = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int leaked = ::fcntl(opened, F_DUPFD, 50);
    ::close(opened);
    ASSERT_GE(leaked, 50);
    const std::string fd = "/proc/$$/fd/";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "{\n"
                          << "  for a in \"$@\"; do echo \"arg:$a\"; done\n"
                          << "  echo \"sid:$(ps -o sid= -p $$ | tr -d ' ')\"\n"
                          << "  echo \"in:$(readlink " << fd << "0) leaked:$(test -e " << fd
                          << leaked << " && echo yes || echo no)\"\n"
                          << "  echo end\n"
                          << "} >\"" << out.string() << ".tmp\"\n"
                          << "mv \"" << out.string() << ".tmp\" \"" << out.string() << "\"\n";
    fs::permissions(script, fs::perms::owner_all);

    ASSERT_FALSE(StartDetached(script.string(), {"one", " ", "two words", ""}));
    const std::vector<std::string> lines = WaitForLines(out);
    ::close(leaked);
    ASSERT_EQ(lines.size(), 7u) << ReadBytesOrEmpty(out);
    EXPECT_EQ(lines[0], "arg:one");
    EXPECT_EQ(lines[1], "arg: ");
    EXPECT_EQ(lines[2], "arg:two words");
    EXPECT_EQ(lines[3], "arg:");
    // The script's shell leads a session of its own.
    EXPECT_NE(lines[4], "sid:" + std::to_string(::getsid(0)));
    EXPECT_NE(lines[4], "sid:");
    EXPECT_EQ(lines[5], "in:/dev/null leaked:no");
}

TEST(StartDetached, AProgramThatCannotRunIsAnError) {
    TempDir dir;
    std::ofstream(dir / "plain") << "#!/bin/sh\n";
    EXPECT_EQ(StartDetached((dir / "plain").string(), {}), std::errc::permission_denied);
    EXPECT_EQ(StartDetached((dir / "missing").string(), {}), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace korvalo
