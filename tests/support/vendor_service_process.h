#pragma once
// The stand-in of the maker's services (korvalo-vendor-service) run by a test (its request
// log is read with support/json_lines.h).

#include <string>
#include <vector>

#include "support/json_lines.h"
#include "support/processes.h"

namespace korvalo::vendortest {

// The built korvalo-vendor-service; $KORVALO_VENDOR_SERVICE overrides it.
std::string VendorServiceExecutable();

// korvalo-vendor-service on a free port of 127.0.0.1 with the given options (--port 0 is
// added). The constructor returns once it listens; the destructor stops it.
class VendorServiceProcess : public testing::StandInServer {
public:
    explicit VendorServiceProcess(const std::vector<std::string>& args = {});

    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path = "") const;
    // The path-loader endpoint ("/scripts/PathLoaderSrv.dll") on this service.
    std::string PathLoaderEndpoint() const;
};

}  // namespace korvalo::vendortest
