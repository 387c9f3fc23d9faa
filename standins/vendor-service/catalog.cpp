#include "catalog.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "core/text.h"
#include "core/version.h"

namespace korvalo::vendorservice {

namespace {

std::string Expand(const std::string& text, const std::string& self) {
    return ReplaceAll(text, "${SELF}", self);
}

std::string TextMember(const nlohmann::json& object, const char* name, const std::string& self) {
    const auto found = object.find(name);
    if (found == object.end())
        return {};
    if (!found->is_string())
        throw std::runtime_error(std::string("\"") + name + "\" must be a text");
    return Expand(found->get<std::string>(), self);
}

std::vector<int> VersionParts(const std::string& version) {
    std::vector<int> parts;
    std::stringstream in(version);
    std::string part;
    while (std::getline(in, part, '.')) {
        try {
            parts.push_back(std::stoi(part));
        } catch (const std::exception&) {
            parts.push_back(0);
        }
    }
    return parts;
}

}  // namespace

Catalog Catalog::FromFile(const std::string& file, const std::string& self) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the catalog " + file);
    std::stringstream text;
    text << in.rdbuf();
    try {
        return FromText(text.str(), self);
    } catch (const std::exception& e) {
        throw std::runtime_error("catalog " + file + ": " + e.what());
    }
}

Catalog Catalog::FromText(const std::string& text, const std::string& self) {
    const nlohmann::json root = nlohmann::json::parse(text);
    const auto list = root.find("software");
    if (!root.is_object() || list == root.end() || !list->is_array())
        throw std::runtime_error("the catalog needs a \"software\" array");
    Catalog catalog;
    for (const nlohmann::json& entry : *list) {
        if (!entry.is_object())
            throw std::runtime_error("every software entry must be an object");
        Software software;
        software.id = TextMember(entry, "id", self);
        software.module = TextMember(entry, "module", self);
        software.version = TextMember(entry, "version", self);
        software.download = TextMember(entry, "download", self);
        if (software.id.empty() && software.module.empty())
            throw std::runtime_error("a software entry needs an \"id\" or a \"module\"");
        if (const auto menus = entry.find("menus"); menus != entry.end()) {
            if (!menus->is_object())
                throw std::runtime_error("\"menus\" must be an object of menu identifiers");
            for (const auto& [menuId, connections] : menus->items()) {
                if (!connections.is_array())
                    throw std::runtime_error("menu \"" + menuId + "\" must be an array");
                std::vector<Connection>& menu = software.menus[menuId];
                for (const nlohmann::json& c : connections) {
                    Connection connection;
                    connection.name = TextMember(c, "name", self);
                    if (const auto paths = c.find("paths"); paths != c.end()) {
                        if (!paths->is_array())
                            throw std::runtime_error("\"paths\" must be an array of texts");
                        for (const nlohmann::json& p : *paths) {
                            if (!p.is_string())
                                throw std::runtime_error("\"paths\" must be an array of texts");
                            connection.paths.push_back(Expand(p.get<std::string>(), self));
                        }
                    }
                    menu.push_back(std::move(connection));
                }
            }
        }
        catalog.software_.push_back(std::move(software));
    }
    return catalog;
}

Catalog Catalog::BuiltIn(const std::string& self) {
    Catalog catalog;
    Software korvalo;
    korvalo.id = kSoftwareId;
    korvalo.module = "korvalo";
    korvalo.version = kProgramVersion;
    korvalo.download = self + "/download/korvalo-" + std::string(kProgramVersion) + ".tar.gz";
    korvalo.menus[""] = {
        {"Основной сервер", {self, self + "/reserve"}},
        {"Резервный сервер", {self + "/backup"}},
    };
    catalog.software_.push_back(std::move(korvalo));
    return catalog;
}

const Software* Catalog::BySoftwareId(const std::string& id) const {
    for (const Software& s : software_) {
        if (!s.id.empty() && s.id == id)
            return &s;
    }
    return nullptr;
}

const Software* Catalog::ByModule(const std::string& module) const {
    for (const Software& s : software_) {
        if (!s.module.empty() && EqualsNoCase(s.module, module))
            return &s;
    }
    return nullptr;
}

int CompareVersions(const std::string& a, const std::string& b) {
    std::vector<int> pa = VersionParts(a);
    std::vector<int> pb = VersionParts(b);
    const std::size_t n = std::max(pa.size(), pb.size());
    pa.resize(n, 0);
    pb.resize(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i])
            return pa[i] < pb[i] ? -1 : 1;
    }
    return 0;
}

}  // namespace korvalo::vendorservice
