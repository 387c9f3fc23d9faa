#include "state/settings/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "core/text.h"
#include "core/unique_fd.h"

namespace korvalo {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

[[noreturn]] void ThrowErrno(int err, const std::string& what) {
    throw std::system_error(err, std::generic_category(), what);
}

// Removes a temporary file unless it was renamed into place.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    void Release() { path_.clear(); }

private:
    std::string path_;
};

bool IsValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t start = i;
        const char32_t c = detail::DecodeOne(bytes, i);
        if (c == 0xFFFD && bytes.substr(start, i - start) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](std::size_t k) -> char32_t {
        const auto a = static_cast<unsigned char>(bytes[k]);
        const auto b = static_cast<unsigned char>(bytes[k + 1]);
        return bigEndian ? char32_t((a << 8) | b) : char32_t((b << 8) | a);
    };
    std::size_t k = 0;
    for (; k + 1 < bytes.size(); k += 2) {
        char32_t c = unit(k);
        if (c >= 0xD800 && c <= 0xDBFF && k + 3 < bytes.size()) {
            const char32_t low = unit(k + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                k += 2;
            }
        }
        AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD
    }
    if (k < bytes.size())
        AppendUtf8(out, 0xFFFD);
    return out;
}

// Letter case folding for names: Latin (with Latin-1) and Cyrillic capitals to small ones.
std::string FoldName(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    ForEachChar(utf8, [&](char32_t c) {
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
            (c >= 0x410 && c <= 0x42F)) {
            c += 0x20;
        } else if (c >= 0x400 && c <= 0x40F) {
            c += 0x50;
        }
        AppendUtf8(out, c);
    });
    return out;
}

std::string StripQuotes(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

void CheckNames(std::string_view section, std::string_view key) {
    const std::string s = Trim(section);
    const std::string k = Trim(key);
    if (s.empty() || k.empty())
        throw std::invalid_argument("profile file: empty section or key name");
    if (HasLineBreak(section) || section.find(']') != std::string_view::npos)
        throw std::invalid_argument("profile file: invalid section name \"" + s + "\"");
    if (HasLineBreak(key) || key.find('=') != std::string_view::npos || k.front() == '[' ||
        k.front() == ';') {
        throw std::invalid_argument("profile file: invalid key name \"" + k + "\"");
    }
}

// One lock per file path (made absolute and resolved), for the life of the process.
std::mutex& PathMutex(const std::string& path) {
    static std::mutex registryMutex;
    static std::map<std::string, std::unique_ptr<std::mutex>> registry;
    std::error_code ec;
    fs::path key = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec)
        key = fs::absolute(path, ec).lexically_normal();
    const std::lock_guard<std::mutex> lock(registryMutex);
    auto& slot = registry[key.string()];
    if (!slot)
        slot = std::make_unique<std::mutex>();
    return *slot;
}

std::string ReadWholeFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return {};
        ThrowErrno(errno, "cannot read " + path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        ThrowErrno(errno, "cannot read " + path);
    if (!S_ISREG(st.st_mode))
        ThrowErrno(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "cannot read " + path);
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno, "cannot read " + path);
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    return bytes;
}

void WriteAll(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno, "cannot write " + path);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {
    Decode(ReadWholeFile(path_));
}

ProfileFile ProfileFile::FromBytes(std::string path, std::string_view bytes) {
    ProfileFile file;
    file.path_ = std::move(path);
    file.Decode(bytes);
    return file;
}

void ProfileFile::Decode(std::string_view bytes) {
    if (bytes.substr(0, 3) == kUtf8Bom) {
        utf8Bom_ = true;
        bytes.remove_prefix(3);
    } else if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        Parse(DecodeUtf16(bytes.substr(2), bytes[0] == '\xFE'));
        return;
    }
    if (IsValidUtf8(bytes))
        Parse(bytes);
    else
        Parse(FromCp1251(bytes));
}

ProfileFile::Line ProfileFile::MakeLine(std::string text, std::string eol) {
    Line line{std::move(text), std::move(eol), Kind::kOther, {}};
    const std::string_view t = line.text;
    std::size_t b = 0;
    while (b < t.size() && static_cast<unsigned char>(t[b]) <= ' ')
        ++b;
    if (b == t.size() || t[b] == ';')
        return line;
    if (t[b] == '[') {
        // "[name]"; a line without the closing bracket is no section line.
        const std::size_t close = t.rfind(']');
        if (close == std::string_view::npos || close < b)
            return line;
        line.kind = Kind::kSection;
        line.name = FoldName(Trim(t.substr(b + 1, close - b - 1)));
        return line;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return line;
    std::string name = Trim(t.substr(0, eq));
    if (name.empty())
        return line;
    line.kind = Kind::kKey;
    line.name = FoldName(name);
    return line;
}

void ProfileFile::Parse(std::string_view utf8) {
    bool eolSeen = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c != '\r' && c != '\n')
            continue;
        std::string eol(1, c);
        if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')
            eol = "\r\n";
        if (!eolSeen) {
            defaultEol_ = eol;
            eolSeen = true;
        }
        lines_.push_back(MakeLine(std::string(utf8.substr(start, i - start)), eol));
        i += eol.size() - 1;
        start = i + 1;
    }
    if (start < utf8.size())
        lines_.push_back(MakeLine(std::string(utf8.substr(start)), ""));
}

std::optional<ProfileFile::SectionRange> ProfileFile::FindSection(std::string_view section) const {
    const std::string folded = FoldName(Trim(section));
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind != Kind::kSection || lines_[i].name != folded)
            continue;
        std::size_t end = i + 1;
        while (end < lines_.size() && lines_[end].kind != Kind::kSection)
            ++end;
        return SectionRange{i, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> ProfileFile::FindKey(const SectionRange& range,
                                                std::string_view key) const {
    const std::string folded = FoldName(Trim(key));
    for (std::size_t i = range.header + 1; i < range.end; ++i) {
        if (lines_[i].kind == Kind::kKey && lines_[i].name == folded)
            return i;
    }
    return std::nullopt;
}

std::optional<std::string> ProfileFile::Find(std::string_view section, std::string_view key) const {
    const auto range = FindSection(section);
    if (!range)
        return std::nullopt;
    const auto index = FindKey(*range, key);
    if (!index)
        return std::nullopt;
    const std::string& text = lines_[*index].text;
    return StripQuotes(Trim(std::string_view(text).substr(text.find('=') + 1)));
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
    auto value = Find(section, key);
    return value ? std::move(*value) : std::string(defaultValue);
}

std::string ProfileFile::NewLineEnd() const {
    return defaultEol_;
}

void ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
    CheckNames(section, key);
    if (HasLineBreak(value))
        throw std::invalid_argument("profile file: a value cannot hold a line break");
    const std::string newKeyLine = Trim(key) + "=" + std::string(value);

    if (const auto range = FindSection(section)) {
        if (const auto index = FindKey(*range, key)) {
            // Keep the name as written and any blanks after "="; replace the rest.
            Line& line = lines_[*index];
            std::size_t keep = line.text.find('=') + 1;
            while (keep < line.text.size() && (line.text[keep] == ' ' || line.text[keep] == '\t'))
                ++keep;
            std::string text = line.text.substr(0, keep) + std::string(value);
            if (text != line.text) {
                line.text = std::move(text);
                modified_ = true;
            }
            return;
        }
        // After the section's last key, so that comments and blank lines leading to the
        // next section stay with it.
        std::size_t last = range->header;
        for (std::size_t i = range->header + 1; i < range->end; ++i) {
            if (lines_[i].kind == Kind::kKey)
                last = i;
        }
        if (lines_[last].eol.empty())
            lines_[last].eol = NewLineEnd();
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1),
                      MakeLine(newKeyLine, NewLineEnd()));
        modified_ = true;
        return;
    }

    if (!lines_.empty()) {
        if (lines_.back().eol.empty())
            lines_.back().eol = NewLineEnd();
        if (!Trim(lines_.back().text).empty())
            lines_.push_back(MakeLine("", NewLineEnd()));
    }
    lines_.push_back(MakeLine("[" + Trim(section) + "]", NewLineEnd()));
    lines_.push_back(MakeLine(newKeyLine, NewLineEnd()));
    modified_ = true;
}

void ProfileFile::DeleteKey(std::string_view section, std::string_view key) {
    const auto range = FindSection(section);
    if (!range)
        return;
    const std::string folded = FoldName(Trim(key));
    for (std::size_t i = range->end; i-- > range->header + 1;) {
        if (lines_[i].kind == Kind::kKey && lines_[i].name == folded) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            modified_ = true;
        }
    }
}

std::string ProfileFile::Text() const {
    std::string out;
    if (utf8Bom_)
        out.append(kUtf8Bom);
    for (const Line& line : lines_) {
        out.append(line.text);
        out.append(line.eol);
    }
    return out;
}

void ProfileFile::Flush() {
    // Write through a symbolic link to the file it names.
    fs::path target(path_);
    std::error_code ec;
    if (fs::is_symlink(target, ec))
        target = fs::weakly_canonical(target, ec);
    if (ec)
        target = path_;
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";

    struct stat old {};
    const bool hadFile = ::stat(target.c_str(), &old) == 0;

    static std::atomic<unsigned> counter{0};
    std::string tempPath;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tempPath = (folder / ("." + target.filename().string() + ".tmp" +
                              std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                       .string();
        fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            ThrowErrno(errno, "cannot write " + target.string());
    }
    if (fd < 0)
        ThrowErrno(EEXIST, "cannot write " + target.string());
    UniqueFd file(fd);
    TempFileGuard guard(tempPath);

    if (hadFile)
        ::fchmod(file.get(), old.st_mode & 07777);
    WriteAll(file.get(), Text(), target.string());
    if (::fsync(file.get()) != 0 || file.close() != 0)
        ThrowErrno(errno, "cannot write " + target.string());
    if (::rename(tempPath.c_str(), target.c_str()) != 0)
        ThrowErrno(errno, "cannot write " + target.string());
    guard.Release();

    // Make the rename itself durable.
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    modified_ = false;
}

void ProfileFile::Update(const std::string& path, const std::function<void(ProfileFile&)>& fn) {
    const std::lock_guard<std::mutex> lock(PathMutex(path));
    ProfileFile file(path);
    fn(file);
    if (file.Modified())
        file.Flush();
}

}  // namespace korvalo
