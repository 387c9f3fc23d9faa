#include "support/vendor_service_process.h"

#include <cstdlib>
#include <fstream>

namespace korvalo::vendortest {

namespace {

std::vector<std::string> ServiceArguments(const std::vector<std::string>& args) {
    std::vector<std::string> argv{VendorServiceExecutable(), "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

std::string VendorServiceExecutable() {
    if (const char* path = std::getenv("KORVALO_VENDOR_SERVICE"); path != nullptr && *path != '\0')
        return path;
    return KORVALO_VENDOR_SERVICE_EXE;
}

VendorServiceProcess::VendorServiceProcess(const std::vector<std::string>& args)
    : ServiceProcess(ServiceArguments(args), "listening on 127.0.0.1:") {}

std::string VendorServiceProcess::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

std::string VendorServiceProcess::PathLoaderEndpoint() const {
    return Url("/scripts/PathLoaderSrv.dll");
}

std::vector<nlohmann::json> ReadVendorLog(const std::filesystem::path& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

}  // namespace korvalo::vendortest
