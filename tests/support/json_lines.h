#pragma once
// Logs that the stand-in servers write with --log FILE: one JSON object a line.

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace korvalo::testing {

// The objects of the file's lines, blank lines left out; nothing when there is no such file.
inline std::vector<nlohmann::json> ReadJsonLines(const std::filesystem::path& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

}  // namespace korvalo::testing
