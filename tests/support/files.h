#pragma once
// Files for tests: a temporary folder removed with all it holds, and whole-file reads and
// writes of bytes.

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalo::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction (also
// what the test made read-only or inaccessible).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes the bytes as the whole file. Throws std::runtime_error when it cannot.
void WriteBytes(const std::filesystem::path& file, std::string_view bytes);
// The whole file's bytes. Throws std::runtime_error when it cannot be read.
std::string ReadBytes(const std::filesystem::path& file);
// The whole file's bytes; empty when there is no such file (yet) or it cannot be read.
std::string ReadBytesOrEmpty(const std::filesystem::path& file);

}  // namespace korvalo::testing
