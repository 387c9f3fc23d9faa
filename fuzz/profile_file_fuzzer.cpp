// The profile (.ini) files: any bytes read as a settings file, the settings' reading rules over
// them, and keys written into them and deleted again, which must read back as written, also
// after the text has been written out and read again.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/text.h"
#include "state/settings/profile_file.h"
#include "state/settings/settings_loader.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Whether the value reads back exactly: no blanks at its ends, not enclosed in quotes.
bool ReadsBackAsWritten(const std::string& value) {
    if (value != korvalo::Trim(value))
        return false;
    return value.size() < 2 || value.front() != value.back() ||
           (value.front() != '"' && value.front() != '\'');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvalo;
    FuzzedDataProvider input(data, size);
    const std::string section = DecodeUtf8(input.ConsumeRandomLengthString(16));
    const std::string key = DecodeUtf8(input.ConsumeRandomLengthString(16));
    const std::string value = DecodeUtf8(input.ConsumeRandomLengthString(64));
    const std::string bytes = input.ConsumeRandomLengthString(512);
    const std::string path = "/nonexistent/korvalo.ini";

    ProfileFile file = ProfileFile::FromBytes(path, bytes);
    // The reading rules of the settings.
    (void)ReadText(file, "Main", "hashAlgOID");
    (void)ReadFlagText(file, "Main", "debug");
    (void)ReadInteger(file, "proxy", "proxyPort", 80);
    (void)ReadFlagInteger(file, "PathLoader", "AllowSetProxy");
    (void)DecodeProxyAccess(ReadText(file, "proxy", "proxyAccess"));
    (void)ParsePathLoaderUrlList(ReadText(file, "PathLoader", "PathLoaderURL"));
    (void)ReadText(file, section, key);
    (void)DecodeProxyAccess(value);
    (void)ParsePathLoaderUrlList(value);
    (void)EncodeProxyAccess(key, value);

    try {
        file.WriteString(section, key, value);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    const std::optional<std::string> written = file.Find(section, key);
    Check(written.has_value());
    if (ReadsBackAsWritten(value))
        Check(*written == value);
    const ProfileFile again = ProfileFile::FromBytes(path, file.Text());
    Check(again.Find(section, key) == written);

    file.DeleteKey(section, key);
    Check(!file.Find(section, key));
    Check(!ProfileFile::FromBytes(path, file.Text()).Find(section, key));

    // A series of writes and deletions over names that never fold into one another: after
    // each step every key written reads back, in memory and once the text has been read again.
    static const char* const kSections[] = {"Main", "proxy", "PathLoader", "Раздел"};
    static const char* const kKeys[] = {"debug", "proxyPort", "ключ", "a b"};
    std::map<std::pair<std::string, std::string>, std::string> model;
    while (input.remaining_bytes() > 0) {
        const std::string s = kSections[input.ConsumeIntegralInRange(0, 3)];
        const std::string k = kKeys[input.ConsumeIntegralInRange(0, 3)];
        if (input.ConsumeBool()) {
            file.DeleteKey(s, k);
            model.erase({s, k});
        } else {
            const std::string v = DecodeUtf8(input.ConsumeRandomLengthString(16));
            try {
                file.WriteString(s, k, v);
                model[{s, k}] = v;
            } catch (const std::invalid_argument&) {
            }
        }
        const ProfileFile reread = ProfileFile::FromBytes(path, file.Text());
        for (const auto& [name, v] : model) {
            const std::optional<std::string> now = file.Find(name.first, name.second);
            Check(now.has_value());
            if (ReadsBackAsWritten(v))
                Check(*now == v);
            Check(reread.Find(name.first, name.second) == now);
        }
    }
    return 0;
}
