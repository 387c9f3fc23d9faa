#pragma once
// The updater's stand-in (korvalo-renovar-standin) as tests install and read it.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvalo::testing {

// The built korvalo-renovar-standin.
std::string RenovarStandinExecutable();

// The arguments a run of the stand-in recorded in file, once the file is there (waits at most
// limit); nothing when it did not appear.
std::optional<std::vector<std::string>> WaitForRenovarRecord(const std::filesystem::path& file,
                                                             std::chrono::milliseconds limit);

}  // namespace korvalo::testing
