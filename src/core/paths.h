#pragma once
// Where Korvalo keeps its files on this platform.
//
// A program run from its build folder keeps its settings file and its protocol file beside the
// executable. An installed program (the package puts the marker file kInstalledMarker beside
// its executable; write access is no test, since root may write anywhere) keeps them in the
// user's own folders: the settings in $XDG_CONFIG_HOME/korvalo/, the protocol file in
// $XDG_STATE_HOME/korvalo/.

#include <string>

namespace korvalo {

// The file beside an installed executable that marks it as installed.
inline constexpr const char* kInstalledMarker = "korvalo.installed";
// The administrator's settings file, from which an installed program makes a user's main
// settings file when the user has none yet.
inline constexpr const char* kAdministratorIniPath = "/etc/korvalo/korvalo.ini";

// Where the program's files are, for one executable.
struct ProgramFiles {
    bool installed = false;    // the marker file is beside the executable
    std::string mainIni;       // the main settings file
    std::string defaultsIni;   // installed (and no $KORVALO_INI): the administrator's file
    std::string perUserIni;    // the per-user settings file of the path loader's proxy
    std::string protocolFile;  // the protocol file "request.txt"
};

// The files of the executable at executable (a full path), from the environment now:
// - mainIni: $KORVALO_INI when set; installed: ConfigHome() + "korvalo/korvalo.ini"; else the
//   executable's path with its extension replaced by ".ini";
// - defaultsIni: kAdministratorIniPath when installed and $KORVALO_INI is not set, else empty;
// - perUserIni: ConfigHome() + "VALDOR/" + the executable's name without extension + "/" +
//   the executable's name with the extension ".ini", installed or not;
// - protocolFile: installed: StateHome() + "korvalo/request.txt"; else "request.txt" in the
//   executable's folder.
ProgramFiles ProgramFilesOf(const std::string& executable);

// Whether the folder (with or without a trailing "/") holds the marker of an installed
// program as a regular file.
bool IsInstalledFolder(const std::string& folder);

// Full path of the running executable (symbolic links resolved), and its folder with a
// trailing "/". An executable reached through /usr/bin/korvalo is the one in
// /usr/lib/korvalo/.
std::string ExecutablePath();
std::string ExecutableFolder();

// The files of the running executable: ProgramFilesOf(ExecutablePath()).
ProgramFiles RunningProgramFiles();
std::string MainIniPath();
std::string PerUserIniPath();
std::string ProtocolFilePath();

// The user's configuration and state folders, with a trailing "/": $XDG_CONFIG_HOME (default
// ~/.config) and $XDG_STATE_HOME (default ~/.local/state). A relative value is not valid and
// gives the default.
std::string ConfigHome();
std::string StateHome();

// Creates folder and its missing parents; the folders it makes are private (mode 0700).
// True when folder exists as a folder afterwards.
[[nodiscard]] bool CreatePrivateFolders(const std::string& folder);

// The system temporary folder ($TMPDIR, default /tmp) with a trailing "/".
std::string SystemTempFolder();
// Korvalo's temporary folder, private to the user, with a trailing "/":
// $XDG_RUNTIME_DIR + "/Korvalo/" when that variable is set, else the system temporary folder
// followed by "Korvalo-" and the user's numeric id (OpenPrivateFolder checks it before use).
std::string KorvaloTempFolder();

// The user's documents folder (~/Documents).
std::string DocumentsFolder();

// The user's home folder.
std::string HomeFolder();

}  // namespace korvalo
