#pragma once
// The start-up update check and the properties of the update component that start-up sets.

#include <string>

namespace korvalo {

// Language code the update component passes to the updater.
enum class TLanguage { en = 0, ru = 1 };

// The published properties of the main window's update component (UpdateComp). Start-up sets
// SoftwareID; nothing else is set and the component is not run.
struct UpdateCompProperties {
    std::string SoftwareID;
    std::string ProxyServer;
    std::string ProxyUser;
    std::string ProxyPass;
    std::string ServerPath;
    TLanguage Language = TLanguage::ru;
};

// The main window's update check, called at start-up when "checkupdate" is 1. It returns 0 at
// once: no window, no service call, no program started, no log line.
inline int CheckUpdate() {
    return 0;
}

}  // namespace korvalo
