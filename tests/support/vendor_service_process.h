#pragma once
// The stand-in of the maker's services (korvalo-vendor-service) run by a test.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/processes.h"

namespace korvalo::vendortest {

// The built korvalo-vendor-service; $KORVALO_VENDOR_SERVICE overrides it.
std::string VendorServiceExecutable();

// korvalo-vendor-service on a free port of 127.0.0.1 with the given options (--port 0 is
// added). The constructor returns once it listens; the destructor stops it.
class VendorServiceProcess : public testing::ServiceProcess {
public:
    explicit VendorServiceProcess(const std::vector<std::string>& args = {});

    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path = "") const;
    // The path-loader endpoint ("/scripts/PathLoaderSrv.dll") on this service.
    std::string PathLoaderEndpoint() const;
};

// The lines of a log written with --log FILE, one object per request.
std::vector<nlohmann::json> ReadVendorLog(const std::filesystem::path& file);

}  // namespace korvalo::vendortest
