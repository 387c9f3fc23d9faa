#include "support/card_service_process.h"

#include <stdexcept>

namespace korvalo::cardtest {

CardCredentials::CardCredentials() {
    const testing::CommandResult made = testing::RunCommand(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key().string(), "-out", cert().string(), "-subj",
         "/CN=Korvalo Test Card", "-days", "2"});
    if (made.exitCode != 0)
        throw std::runtime_error("openssl req failed: " + made.output);
}

std::string CardServiceExecutable() {
    return testing::ProgramFor("KORVALO_CARD_SERVICE", KORVALO_CARD_SERVICE_EXE);
}

CardServiceProcess::CardServiceProcess(const std::vector<std::string>& args)
    : StandInServer(CardServiceExecutable(), args) {}

bool VerifyDetachedCms(const std::string& der, const std::filesystem::path& content,
                       std::string* output) {
    const testing::TempDir dir;
    const auto sigFile = dir.path() / "signature.der";
    testing::WriteBytes(sigFile, der);
    testing::CommandResult verified = testing::RunCommand(
        {"openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", sigFile.string(),
         "-noverify", "-content", content.string(), "-out", (dir.path() / "content.out").string()});
    if (output != nullptr)
        *output = std::move(verified.output);
    return verified.exitCode == 0;
}

}  // namespace korvalo::cardtest
