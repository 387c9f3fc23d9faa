#pragma once
// A Windows profile (.ini) file: reads keys and changes them in place, keeping the rest as is.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo {

// The lines of one profile file in memory.
//
// Format: section lines "[name]" and key lines "name=value"; lines starting with ";" are
// comments; any other line is kept but means nothing. Section and key names match without
// regard to letter case (Latin and Cyrillic letters) after blanks around them are removed.
// The first matching section is the one that is read and written; keys before any section
// line belong to no section. Within that section the first matching key wins.
//
// Values come back with blanks around them removed and, when the whole value is enclosed in
// a pair of single or double quotes, without those quotes, as the platform's profile
// functions return them.
//
// Encoding: a file that is valid UTF-8 is read as UTF-8, any other file as code page 1251
// (older files written on Windows); a UTF-16 file with a byte-order mark is read too. The
// file is always written as UTF-8 (a UTF-8 byte-order mark is kept when the file had one).
//
// Writing replaces the value of the first matching key and leaves every other line exactly
// as it was (comments, order, unknown keys, duplicates, the line-end style). A missing key
// is added after the last key of its section (after the section line when it has none), a
// missing section at the end of the file. Nothing reaches the disk before Flush().
//
// Threads: one object belongs to one thread. Two threads that change the same file must
// not each load, change and flush their own object, or the later flush drops the earlier
// one's keys: use Update(), which serialises load, change and flush for each path within
// the process.
class ProfileFile {
public:
    // Reads the file at path. A missing file reads as empty. Throws std::system_error when
    // the file exists but cannot be read (so that a later flush never overwrites a file
    // whose content was not seen).
    explicit ProfileFile(std::string path);

    // A profile with the given file content (bytes as they would be on disk) for path,
    // without reading the disk. FromBytes(path, "") is an empty profile.
    static ProfileFile FromBytes(std::string path, std::string_view bytes);

    // Loads the file, calls fn with it and flushes it when fn changed it, while holding a
    // process-wide lock for this path. Exceptions from loading, fn or flushing pass through;
    // nothing is written when one is thrown before the flush.
    static void Update(const std::string& path, const std::function<void(ProfileFile&)>& fn);

    const std::string& Path() const { return path_; }

    // The value of the key, or nothing when the section or the key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    // The value of the key, or defaultValue when the section or the key is missing.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue = {}) const;

    // Sets the key to value. Throws std::invalid_argument when a name is empty or a name or
    // the value holds a line break, or a section name holds "]" or a key name "=" or starts
    // with "[" or ";" (they could not be read back as written).
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    // Removes the key from the section that is read (every line of it there, so that no
    // duplicate takes its place). A missing key or section changes nothing.
    void DeleteKey(std::string_view section, std::string_view key);

    // True when the lines differ from what was last loaded or flushed.
    bool Modified() const { return modified_; }

    // Writes the file at once: a temporary file beside it is written, synced and renamed
    // over it, so that readers and a crash see either the old or the new file, never half
    // of one. An existing file keeps its permissions; a symbolic link is followed. Throws
    // std::system_error when the file cannot be written; the file on disk is then unchanged.
    void Flush();

    // The file's content as it would be written (UTF-8).
    std::string Text() const;

private:
    enum class Kind { kOther, kSection, kKey };
    struct Line {
        std::string text;  // UTF-8, without the line end
        std::string eol;   // "\r\n", "\n", "\r" or "" for a last line without one
        Kind kind = Kind::kOther;
        std::string name;  // folded section or key name
    };
    struct SectionRange {
        std::size_t header;  // index of the section line
        std::size_t end;     // index after the last line of the section
    };

    ProfileFile() = default;
    static Line MakeLine(std::string text, std::string eol);
    void Decode(std::string_view bytes);
    void Parse(std::string_view utf8);
    std::optional<SectionRange> FindSection(std::string_view section) const;
    std::optional<std::size_t> FindKey(const SectionRange& range, std::string_view key) const;
    std::string NewLineEnd() const;

    std::string path_;
    std::vector<Line> lines_;
    std::string defaultEol_ = "\n";
    bool utf8Bom_ = false;
    bool modified_ = false;
};

}  // namespace korvalo
