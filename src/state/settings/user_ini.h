#pragma once
// The main settings file of an installed program, which belongs to the user: its folder, and
// its first copy of the administrator's settings.

#include <string>

#include "state/settings/settings_loader.h"

namespace korvalo {

// What PrepareUserIni did.
struct UserIniOutcome {
    bool copied = false;  // the main file was made from the administrator's file
    std::string error;    // empty when everything needed is in place
};

// Largest administrator's settings file that is copied.
inline constexpr std::size_t kMaxAdministratorIniBytes = 1 << 20;

// Does nothing unless paths.defaultsIni is set (an installed program). Then it creates the main
// file's folder and its missing parents (private, mode 0700) and, when no main file exists
// and defaultsIni names a regular file, copies it to the main file (mode 0600). A file that
// appears at the main file's path meanwhile is never replaced; a copy is written in full or
// not at all. A missing administrator's file is no error; one that cannot be read or is
// larger than kMaxAdministratorIniBytes is not copied and reported.
[[nodiscard]] UserIniOutcome PrepareUserIni(const SettingsPaths& paths);

}  // namespace korvalo
