#pragma once
// A test suite around the card: its credentials, made once for the suite by the openssl
// command, and a temporary folder of each test's own.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/card_service_process.h"
#include "support/files.h"

namespace korvalo::cardtest {

class CardSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { card_ = std::make_unique<CardCredentials>(); }
    static void TearDownTestSuite() { card_.reset(); }

    // Writes content as the file name in the test's folder.
    std::filesystem::path WriteFile(const std::string& name, const std::string& content) const {
        const auto file = dir_.path() / name;
        testing::WriteBytes(file, content);
        return file;
    }

    static inline std::unique_ptr<CardCredentials> card_;
    testing::TempDir dir_;
};

}  // namespace korvalo::cardtest
