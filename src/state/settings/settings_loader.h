#pragma once
// Reads Korvalo's settings files into Settings, and writes the keys the dialogs change.

#include <string>
#include <string_view>
#include <vector>

#include "platform/net/system_proxy.h"
#include "state/settings/profile_file.h"
#include "state/settings/settings.h"

namespace korvalo {

// ---- Value-reading rules of the settings files ----

// text: the value as stored (blanks around it removed); a missing key gives "".
std::string ReadText(const ProfileFile& file, std::string_view section, std::string_view key);
// flag text: true only when the value, trimmed, equals "true" without regard to case.
bool ReadFlagText(const ProfileFile& file, std::string_view section, std::string_view key);
// integer: decimal, or hexadecimal with "0x" or "$"; defaultValue when the key is missing or
// its value is no number.
int ReadInteger(const ProfileFile& file, std::string_view section, std::string_view key,
                int defaultValue);
// flag integer: an integer with the default 1; 0 is false, any other number true (so a text
// such as "false", which is no number, is true).
bool ReadFlagInteger(const ProfileFile& file, std::string_view section, std::string_view key);

// ---- Proxy credentials (key proxyAccess) ----

struct ProxyCredentials {
    std::string userName;
    std::string userPwd;
};

// Decodes a proxyAccess value: Base64 (leniently: whatever the decoder yields from invalid
// text), bytes above 0x7F read as "?", split at the first ":". The user name is the text
// before it with leading blanks dropped and enclosing single or double quotes removed; the
// password is the rest, taken the same way when it holds no ":" and unchanged when it does.
// Without ":" both are empty.
ProxyCredentials DecodeProxyAccess(std::string_view proxyAccess);

// The stored form of proxy credentials: Base64 (standard alphabet, "=" padding, no line
// breaks) of userName + ":" + userPwd, every character outside ASCII replaced by "?".
std::string EncodeProxyAccess(std::string_view userName, std::string_view userPwd);

// ---- Path loader addresses (key PathLoaderURL) ----

// Splits the address list: ";" and blanks or control characters end an address; an address
// in double quotes may hold them (two double quotes inside stand for one). Empty entries are
// dropped.
std::vector<std::string> ParsePathLoaderUrlList(std::string_view text);

// ---- PKCS#11 modules (key pkcs11Modules) ----

// Splits the module list at ";": each path trimmed of blanks, empty entries dropped.
std::vector<std::string> ParseModuleList(std::string_view text);

// ---- Loading ----

// Where the two settings files are.
struct SettingsPaths {
    std::string mainIni;     // the main file (next to the executable, or the user's own)
    std::string perUserIni;  // the per-user file of the path loader's proxy
    // Set only for an installed program, whose main file belongs to the user: the
    // administrator's settings from which a missing main file is made (PrepareUserIni).
    std::string defaultsIni;

    // The files of the running program (RunningProgramFiles()).
    static SettingsPaths Default();
};

// Reads both settings files. Missing or unreadable files, sections, keys and values give
// their defaults; loading never throws for what a file holds.
class SettingsLoader {
public:
    // systemProxy must outlive the loader.
    SettingsLoader(SettingsPaths paths, ISystemProxySource& systemProxy);

    // Reads every setting into a copy of previous and returns it, in this order: the
    // [PathLoader] keys; the [Proxy] keys of the path loader (from the per-user file, whose
    // folder is created when missing, when AllowSetProxy is on, else from the main file);
    // the [proxy] keys of the upload; the [Main] keys (listenAllInterfaces among them); then, when
    // useAutoProxy is on, the system proxy replaces proxyAddress and proxyPort when it names a
    // host. userName and userPwd keep previous's values when proxyAccess is empty; isSavePwd,
    // pathLoader.SoftwareID and (unless PathLoaderURLType is 2) pathLoader.PathLoaderURL
    // are kept too.
    // The caller then starts the companion server when signatureKZ is set and resets its
    // upload stage.
    Settings Load(const Settings& previous) const;

    const SettingsPaths& Paths() const { return paths_; }

private:
    SettingsPaths paths_;
    ISystemProxySource& systemProxy_;
};

// ---- Writing (settings dialog, proxy login) ----

// What the settings dialog reads from the main file and writes back on OK.
struct OptionsValues {
    bool useAutoProxy = false;
    std::string proxyAddress;
    std::string proxyPort;  // as text, as the dialog shows it
    std::string proxyAccess;
    std::string hashAlgOID;
    bool debug = false;
    bool debugExt = false;  // read only; never written
    bool avCrypt = false;
    bool bCheckUpdate = false;
};

// Reads the dialog's values from the main file: [proxy] useAutoProxy, proxyAddress,
// proxyPort, proxyAccess; [Main] hashAlgOID, debug, debugExt, avCrypt, and checkupdate
// (bCheckUpdate exactly when it reads as the integer 1). Every text is trimmed. A missing
// or unreadable file gives the defaults.
OptionsValues ReadOptionsValues(const std::string& mainIni);

// Writes the dialog's values into the main file and flushes it:
// [proxy] useAutoProxy = "true" or "" (the key stays), proxyAddress, proxyPort,
// proxyAccess as given; [Main] hashAlgOID only when not empty, debug = "true" only when on
// (off leaves the key as it is), avCrypt = "true" or the key deleted, checkupdate = "1" or
// the key deleted. debugExt and every other key stay untouched.
// Safe against concurrent writers of the same file in this process (ProfileFile::Update).
// Throws std::system_error when the file cannot be read or written (the file is then
// unchanged), std::invalid_argument when a value holds a line break.
void WriteOptionsValues(const std::string& mainIni, const OptionsValues& values);

// Stores proxy credentials: [Proxy] proxyAccess = proxyAccess in the main file, flushed at
// once. Same guarantees and exceptions as WriteOptionsValues.
void StoreProxyAccess(const std::string& mainIni, std::string_view proxyAccess);

}  // namespace korvalo
