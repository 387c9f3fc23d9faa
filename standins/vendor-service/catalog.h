#pragma once
// What the maker's services know: the software they serve, each with its connection menus and
// paths (path loader) and its current version and download link (update service).

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvalo::vendorservice {

struct Connection {
    std::string name;
    std::vector<std::string> paths;
};

struct Software {
    std::string id;        // software identifier, e.g. "{2A9EB3FF-...}"
    std::string module;    // module name (the older operations ask by it)
    std::string version;   // current version a.b.c.d
    std::string download;  // download address of the current version
    std::map<std::string, std::vector<Connection>> menus;  // by menu identifier ("" default)
};

class Catalog {
public:
    // The catalog in a JSON file (see README.md). "${SELF}" in any text becomes self, the
    // service's own base address. Throws std::runtime_error for a file that cannot be read or
    // does not hold a catalog.
    static Catalog FromFile(const std::string& file, const std::string& self);
    // Parses the JSON text of a catalog.
    static Catalog FromText(const std::string& text, const std::string& self);
    // Korvalo's software with a menu of two connections on this service.
    static Catalog BuiltIn(const std::string& self);

    const Software* BySoftwareId(const std::string& id) const;
    // By module name, without regard to letter case.
    const Software* ByModule(const std::string& module) const;

private:
    std::vector<Software> software_;
};

// Compares two dotted version texts number by number (missing parts count as 0, a part that is
// no number as 0): negative, 0 or positive.
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace korvalo::vendorservice
