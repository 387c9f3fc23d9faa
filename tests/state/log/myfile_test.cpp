#include "state/log/myfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support/files.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;

class MyFileTest : public ::testing::Test {
protected:
    std::string Read() const { return testing::ReadBytesOrEmpty(path_); }

    testing::TempDir temp_;
    const fs::path dir_ = temp_.path();
    const std::string path_ = (dir_ / "request.txt").string();
};

TEST_F(MyFileTest, CreateRecreatesAnEmptyFileAndAppendsGoToTheEnd) {
    {
        std::ofstream old(path_);
        old << "records of an earlier run";
    }
    TMyFile first(path_);
    EXPECT_EQ(Read(), "");
    first.WriteBuffer("ab", 2);
    first.WriteRecord("Привет\r\n");
    EXPECT_EQ(Read(), "ab\xCF\xF0\xE8\xE2\xE5\xF2\r\n");

    // A second start recreates the file; the first writer keeps appending to the new one.
    TMyFile second(path_);
    EXPECT_EQ(Read(), "");
    first.WriteBuffer("x", 1);
    EXPECT_EQ(Read(), "x");
}

TEST_F(MyFileTest, FailuresAreReported) {
    EXPECT_THROW(
        {
            try {
                TMyFile bad((dir_ / "missing" / "request.txt").string());
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Error create file");
                throw;
            }
        },
        std::runtime_error);

    TMyFile file(path_);
    fs::remove(path_);
    EXPECT_THROW(file.WriteBuffer("x", 1), std::runtime_error);
}

TEST_F(MyFileTest, ConcurrentAppendsLoseAndInterleaveNothing) {
    TMyFile file(path_);
    constexpr int kThreads = 8, kRecords = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&file, t] {
            for (int r = 0; r < kRecords; ++r) {
                const std::string record = "*** thread " + std::to_string(t) + " record " +
                                           std::to_string(r) + " " + std::string(40, 'a' + t) +
                                           "\r\n";
                file.WriteRecord(record);
            }
        });
    }
    for (auto& th : threads)
        th.join();

    std::istringstream lines(Read());
    std::set<std::string> seen;
    std::string line;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        int t = -1, r = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "*** thread %d record %d", &t, &r), 2) << line;
        const std::string tail = std::string(40, 'a' + t) + "\r";
        ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << line;
        EXPECT_TRUE(seen.insert(line).second);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecords));
}

}  // namespace
}  // namespace korvalo
