#include "support/card_service_process.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace korvalo::cardtest {

namespace {

std::vector<std::string> ServiceArguments(const std::vector<std::string>& args) {
    std::vector<std::string> argv{CardServiceExecutable(), "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

CardCredentials::CardCredentials() {
    const testing::CommandResult made = testing::RunCommand(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key().string(), "-out", cert().string(), "-subj",
         "/CN=Korvalo Test Card", "-days", "2"});
    if (made.exitCode != 0)
        throw std::runtime_error("openssl req failed: " + made.output);
}

std::string CardServiceExecutable() {
    if (const char* path = std::getenv("KORVALO_CARD_SERVICE"); path != nullptr && *path != '\0')
        return path;
    return KORVALO_CARD_SERVICE_EXE;
}

// The service announces "listening on 127.0.0.1:N" once its port is open.
CardServiceProcess::CardServiceProcess(const std::vector<std::string>& args)
    : ServiceProcess(ServiceArguments(args), "listening on 127.0.0.1:") {}

std::vector<nlohmann::json> ReadServiceLog(const std::filesystem::path& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

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
