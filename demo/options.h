#pragma once
// Command line of korvalo-demo-service.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvalo::demo {

struct DemoOptions {
    unsigned short port = 48080;  // 0 picks a free port
    std::string korvaloUrl = "http://127.0.0.1:48051/";
    std::filesystem::path caFile;   // the demo CA; empty: no chain check
    std::filesystem::path dataDir;  // received uploads are kept here; empty: not kept
    std::uint64_t maxBodyBytes = 64ull << 20;
    bool help = false;
};

// Throws std::invalid_argument with a readable text for a bad command line.
DemoOptions ParseOptions(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace korvalo::demo
