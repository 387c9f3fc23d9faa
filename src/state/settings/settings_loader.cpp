#include "state/settings/settings_loader.h"

#include <cstdint>
#include <exception>
#include <filesystem>

#include "core/base64.h"
#include "core/paths.h"
#include "core/text.h"

namespace korvalo {

namespace fs = std::filesystem;

namespace {

// The main file's sections. Names match without regard to case, so "Proxy" (the path
// loader's keys, the stored credentials) and "proxy" (the upload's keys) are one section.
constexpr std::string_view kPathLoader = "PathLoader";
constexpr std::string_view kProxy = "Proxy";
constexpr std::string_view kUploadProxy = "proxy";
constexpr std::string_view kMain = "Main";

// The profile at path, or an empty one when it cannot be read.
ProfileFile LoadOrEmpty(const std::string& path) {
    try {
        return ProfileFile(path);
    } catch (const std::exception&) {
        return ProfileFile::FromBytes(path, {});
    }
}

std::string RemoveBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != ' ' && c != '\t')
            out.push_back(c);
    }
    return out;
}

int ParseIntegerOr(std::string_view text, int defaultValue) {
    std::int32_t value = 0;
    return ParseInteger(text, value) ? value : defaultValue;
}

// A piece of the decoded credentials: leading blanks dropped, enclosing quotes removed.
std::string CredentialPiece(std::string_view piece) {
    std::string text = TrimLeft(piece);
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

PathLoaderUrlType UrlTypeFromNumber(int number) {
    switch (number) {
        case 1:
            return PathLoaderUrlType::plLocal;
        case 2:
            return PathLoaderUrlType::plCustom;
        default:
            return PathLoaderUrlType::plDefault;
    }
}

}  // namespace

std::string ReadText(const ProfileFile& file, std::string_view section, std::string_view key) {
    return file.ReadString(section, key);
}

bool ReadFlagText(const ProfileFile& file, std::string_view section, std::string_view key) {
    return EqualsNoCase(Trim(file.ReadString(section, key)), "true");
}

int ReadInteger(const ProfileFile& file, std::string_view section, std::string_view key,
                int defaultValue) {
    const auto value = file.Find(section, key);
    return value ? ParseIntegerOr(*value, defaultValue) : defaultValue;
}

bool ReadFlagInteger(const ProfileFile& file, std::string_view section, std::string_view key) {
    return ReadInteger(file, section, key, 1) != 0;
}

ProxyCredentials DecodeProxyAccess(std::string_view proxyAccess) {
    const std::string decoded = FromBytesAsciiOnly(Base64Decode(proxyAccess));
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return {};
    ProxyCredentials credentials;
    credentials.userName = CredentialPiece(std::string_view(decoded).substr(0, colon));
    const std::string_view rest = std::string_view(decoded).substr(colon + 1);
    credentials.userPwd =
        rest.find(':') == std::string_view::npos ? CredentialPiece(rest) : std::string(rest);
    return credentials;
}

std::string EncodeProxyAccess(std::string_view userName, std::string_view userPwd) {
    std::string ascii;
    auto append = [&](std::string_view text) {
        ForEachChar(text,
                    [&](char32_t c) { ascii.push_back(c < 0x80 ? static_cast<char>(c) : '?'); });
    };
    append(userName);
    ascii.push_back(':');
    append(userPwd);
    return Base64Encode(ascii);
}

std::vector<std::string> ParsePathLoaderUrlList(std::string_view text) {
    auto isSeparator = [](char c) { return c == ';' || static_cast<unsigned char>(c) <= ' '; };
    std::vector<std::string> list;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        std::string entry;
        if (text[i] == '"') {
            ++i;
            while (i < text.size()) {
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        entry.push_back('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                entry.push_back(text[i++]);
            }
        } else {
            while (i < text.size() && !isSeparator(text[i]))
                entry.push_back(text[i++]);
        }
        if (!entry.empty())
            list.push_back(std::move(entry));
    }
    return list;
}

std::vector<std::string> ParseModuleList(std::string_view text) {
    std::vector<std::string> list;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string entry = Trim(text.substr(start, end - start));
        if (!entry.empty())
            list.push_back(std::move(entry));
        start = end + 1;
    }
    return list;
}

SettingsPaths SettingsPaths::Default() {
    const ProgramFiles files = RunningProgramFiles();
    return SettingsPaths{files.mainIni, files.perUserIni, files.defaultsIni};
}

SettingsLoader::SettingsLoader(SettingsPaths paths, ISystemProxySource& systemProxy)
    : paths_(std::move(paths)), systemProxy_(systemProxy) {}

Settings SettingsLoader::Load(const Settings& previous) const {
    Settings s = previous;
    const ProfileFile main = LoadOrEmpty(paths_.mainIni);

    // The path loader's service.
    PathLoaderProperties& loader = s.pathLoader;
    loader.MenuID = ReadText(main, kPathLoader, "MenuID");
    loader.AllowSetProxy = ReadFlagInteger(main, kPathLoader, "AllowSetProxy");
    const int urlType = ReadInteger(main, kPathLoader, "PathLoaderURLType", 0);
    loader.PathLoaderURLType = UrlTypeFromNumber(urlType);
    if (urlType == 2)
        loader.PathLoaderURL = ParsePathLoaderUrlList(ReadText(main, kPathLoader, "PathLoaderURL"));

    // The path loader's proxy: per user when the user may set it, else from the main file.
    auto readLoaderProxy = [&loader](const ProfileFile& file) {
        loader.Proxy = ThroughCp1251(ReadText(file, kProxy, "ProxyServer"));
        loader.ProxyUserName = ThroughCp1251(ReadText(file, kProxy, "ProxyUser"));
        loader.ProxyPassword = ThroughCp1251(ReadText(file, kProxy, "ProxyPassword"));
    };
    if (loader.AllowSetProxy) {
        std::error_code ec;
        const fs::path folder = fs::path(paths_.perUserIni).parent_path();
        if (!folder.empty())
            fs::create_directories(folder, ec);  // a failure leaves the values empty
        readLoaderProxy(LoadOrEmpty(paths_.perUserIni));
    } else {
        readLoaderProxy(main);
    }

    // The upload's proxy.
    s.useAutoProxy = ReadFlagText(main, kUploadProxy, "useAutoProxy");
    s.proxyAddress = ThroughCp1251(Trim(ReadText(main, kUploadProxy, "proxyAddress")));
    s.proxyPort = ParseIntegerOr(RemoveBlanks(ReadText(main, kUploadProxy, "proxyPort")), 80);
    s.proxyAccess = ThroughCp1251(Trim(ReadText(main, kUploadProxy, "proxyAccess")));
    if (!s.proxyAccess.empty()) {
        ProxyCredentials credentials = DecodeProxyAccess(s.proxyAccess);
        s.userName = std::move(credentials.userName);
        s.userPwd = std::move(credentials.userPwd);
    }

    // Signing, provider, diagnostics, updates.
    s.hashAlgOID = ThroughCp1251(Trim(ReadText(main, kMain, "hashAlgOID")));
    s.signatureKZ = EqualsNoCase(Trim(ReadText(main, kMain, "provider")), "IOLA");
    s.debug = ReadFlagText(main, kMain, "debug");
    s.debugExt = ReadFlagText(main, kMain, "debugExt");
    s.avCrypt = ReadFlagText(main, kMain, "avCrypt");
    s.socket_size = ReadInteger(main, kMain, "socket_size", 4000);
    s.bCheckUpdate = ReadInteger(main, kMain, "checkupdate", 0) == 1;
    s.pkcs11Modules = ParseModuleList(ReadText(main, kMain, "pkcs11Modules"));
    s.listenAllInterfaces = ReadFlagText(main, kMain, "listenAllInterfaces");

    // The system's proxy, when asked for and named, replaces the file's.
    if (s.useAutoProxy) {
        SystemProxy system;
        try {
            system = systemProxy_.GetSystemProxy();
        } catch (const std::exception&) {
            system = {};  // unreadable: the file's values remain
        }
        if (!system.host.empty()) {
            s.proxyAddress = ThroughCp1251(system.host);
            s.proxyPort = system.port;
        }
    }
    return s;
}

OptionsValues ReadOptionsValues(const std::string& mainIni) {
    const ProfileFile main = LoadOrEmpty(mainIni);
    OptionsValues v;
    v.useAutoProxy = ReadFlagText(main, kUploadProxy, "useAutoProxy");
    v.proxyAddress = Trim(ReadText(main, kUploadProxy, "proxyAddress"));
    v.proxyPort = Trim(ReadText(main, kUploadProxy, "proxyPort"));
    v.proxyAccess = Trim(ReadText(main, kUploadProxy, "proxyAccess"));
    v.hashAlgOID = Trim(ReadText(main, kMain, "hashAlgOID"));
    v.debug = ReadFlagText(main, kMain, "debug");
    v.debugExt = ReadFlagText(main, kMain, "debugExt");
    v.avCrypt = ReadFlagText(main, kMain, "avCrypt");
    v.bCheckUpdate = ReadInteger(main, kMain, "checkupdate", 0) == 1;
    return v;
}

void WriteOptionsValues(const std::string& mainIni, const OptionsValues& values) {
    ProfileFile::Update(mainIni, [&values](ProfileFile& file) {
        file.WriteString(kUploadProxy, "useAutoProxy", values.useAutoProxy ? "true" : "");
        file.WriteString(kUploadProxy, "proxyAddress", values.proxyAddress);
        file.WriteString(kUploadProxy, "proxyPort", values.proxyPort);
        file.WriteString(kUploadProxy, "proxyAccess", values.proxyAccess);
        if (!values.hashAlgOID.empty())
            file.WriteString(kMain, "hashAlgOID", values.hashAlgOID);
        if (values.debug)
            file.WriteString(kMain, "debug", "true");
        if (values.avCrypt)
            file.WriteString(kMain, "avCrypt", "true");
        else
            file.DeleteKey(kMain, "avCrypt");
        if (values.bCheckUpdate)
            file.WriteString(kMain, "checkupdate", "1");
        else
            file.DeleteKey(kMain, "checkupdate");
    });
}

void StoreProxyAccess(const std::string& mainIni, std::string_view proxyAccess) {
    ProfileFile::Update(mainIni, [proxyAccess](ProfileFile& file) {
        file.WriteString(kProxy, "proxyAccess", proxyAccess);
    });
}

}  // namespace korvalo
