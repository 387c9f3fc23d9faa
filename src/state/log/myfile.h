#pragma once
// The protocol file "request.txt": recreated empty at start, then only appended to.

#include <string>
#include <string_view>

namespace korvalo {

// Writer of the protocol file. Every append opens the file for exclusive use, writes at its
// end and closes it again; appends from several threads are serialised and never fail
// against each other.
class TMyFile {
public:
    // Deletes FN if it exists and creates it empty. Throws std::runtime_error
    // "Error create file" when it cannot be created.
    explicit TMyFile(std::string FN);

    // Appends count bytes at the end of the file. Throws std::runtime_error when the file
    // cannot be opened or written (for example after it was removed).
    void WriteBuffer(const char* buffer, std::size_t count);

    // Appends a record: the text converted to the single-byte code page (windows-1251).
    void WriteRecord(std::string_view text);

    const std::string& FileName() const { return FFName; }

private:
    std::string FFName;
};

}  // namespace korvalo
