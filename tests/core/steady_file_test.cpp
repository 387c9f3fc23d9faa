// Tests of reading a file whole while watching it, and of content fingerprints.

#include "core/steady_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/content_fingerprint.h"
#include "support/files.h"

namespace korvalo {
namespace {

using testing::TempDir;
using testing::WriteBytes;

std::string ReadAll(SteadyFileReader& reader, std::size_t piece) {
    std::string out;
    std::string buffer(piece, '\0');
    while (const std::size_t n = reader.Read(buffer.data(), buffer.size()))
        out.append(buffer, 0, n);
    return out;
}

TEST(SteadyFileReaderTest, ReadsTheWholeFileAgainAfterARewind) {
    const TempDir dir;
    const std::string content(10000, 'k');
    WriteBytes(dir / "f", content);
    SteadyFileReader reader((dir / "f").string());
    ASSERT_EQ(reader.failure(), SteadyFileReader::Failure::None);
    EXPECT_EQ(reader.size(), content.size());
    EXPECT_EQ(ReadAll(reader, 3000), content);
    EXPECT_TRUE(reader.finished());
    ASSERT_TRUE(reader.Rewind());
    EXPECT_EQ(ReadAll(reader, 4096), content);
    EXPECT_EQ(reader.failure(), SteadyFileReader::Failure::None);

    WriteBytes(dir / "empty", "");
    SteadyFileReader empty((dir / "empty").string());
    EXPECT_EQ(ReadAll(empty, 10), "");
    EXPECT_TRUE(empty.finished());
}

TEST(SteadyFileReaderTest, TellsWhatCannotBeReadWhole) {
    const TempDir dir;
    EXPECT_EQ(SteadyFileReader((dir / "missing").string()).failure(),
              SteadyFileReader::Failure::Open);
    EXPECT_EQ(SteadyFileReader((dir / "missing").string()).errorNumber(), ENOENT);
    EXPECT_EQ(SteadyFileReader(dir.path().string()).failure(),
              SteadyFileReader::Failure::NotRegular);
    EXPECT_EQ(SteadyFileReader("/dev/zero").failure(), SteadyFileReader::Failure::NotRegular);

    // Grown after it was opened: the bytes beyond its size are noticed at the end.
    WriteBytes(dir / "f", "12345");
    SteadyFileReader grown((dir / "f").string());
    WriteBytes(dir / "f", "123456");
    EXPECT_EQ(ReadAll(grown, 100), "12345");
    EXPECT_EQ(grown.failure(), SteadyFileReader::Failure::Changed);
    EXPECT_FALSE(grown.finished());
}

TEST(ContentFingerprintTest, PiecesGiveTheFingerprintOfTheWhole) {
    std::string content;
    for (int i = 0; i < 100000; ++i)
        content.push_back(static_cast<char>(i * 31));
    FingerprintBuilder builder;
    for (std::size_t at = 0; at < content.size(); at += 777)
        builder.Add(std::string_view(content).substr(at, 777));
    EXPECT_EQ(builder.Finish(), FingerprintOf(content));
    EXPECT_EQ(builder.Finish().size, content.size());

    std::string other = content;
    other[50000] ^= 1;
    EXPECT_NE(FingerprintOf(other), FingerprintOf(content));
    builder.Reset();
    EXPECT_EQ(builder.Finish(), FingerprintOf(""));
}

}  // namespace
}  // namespace korvalo
