#include "support/renovar_standin.h"

#include <nlohmann/json.hpp>

#include "support/files.h"
#include "support/wait.h"

namespace korvalo::testing {

std::string RenovarStandinExecutable() {
    return KORVALO_RENOVAR_STANDIN_EXE;
}

std::optional<std::vector<std::string>> WaitForRenovarRecord(const std::filesystem::path& file,
                                                             std::chrono::milliseconds limit) {
    // The stand-in writes the record under a passing name and renames it: whole or absent.
    std::string text;
    if (!WaitUntil([&] { return !(text = ReadBytesOrEmpty(file)).empty(); }, limit))
        return std::nullopt;
    return nlohmann::json::parse(text).at("arguments").get<std::vector<std::string>>();
}

}  // namespace korvalo::testing
