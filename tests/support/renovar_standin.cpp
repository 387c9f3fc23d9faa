#include "support/renovar_standin.h"

#include <nlohmann/json.hpp>
#include <thread>

#include "support/files.h"

namespace korvalo::testing {

std::string RenovarStandinExecutable() {
    return KORVALO_RENOVAR_STANDIN_EXE;
}

std::optional<std::vector<std::string>> WaitForRenovarRecord(const std::filesystem::path& file,
                                                             std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        // The stand-in writes the record under a passing name and renames it: whole or absent.
        const std::string text = ReadBytesOrEmpty(file);
        if (!text.empty())
            return nlohmann::json::parse(text).at("arguments").get<std::vector<std::string>>();
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace korvalo::testing
