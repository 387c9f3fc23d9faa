#pragma once
// Where Korvalo keeps its files on this platform.

#include <string>

namespace korvalo {

// Full path of the running executable, and its folder with a trailing "/".
std::string ExecutablePath();
std::string ExecutableFolder();

// The main settings file: $KORVALO_INI when set, else the executable's path plus ".ini".
std::string MainIniPath();

// The per-user settings file of the path loader's proxy:
// $XDG_CONFIG_HOME (default ~/.config) + "/VALDOR/" + executable name without extension +
// "/" + executable name with the extension ".ini".
std::string PerUserIniFolder();
std::string PerUserIniPath();

// The protocol file "request.txt" in the executable's folder.
std::string ProtocolFilePath();

// The system temporary folder ($TMPDIR, default /tmp) with a trailing "/".
std::string SystemTempFolder();
// The system temporary folder followed by "Korvalo/".
std::string KorvaloTempFolder();

// The user's documents folder (~/Documents).
std::string DocumentsFolder();

// The user's home folder.
std::string HomeFolder();

}  // namespace korvalo
