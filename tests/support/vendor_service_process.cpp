#include "support/vendor_service_process.h"

namespace korvalo::vendortest {

std::string VendorServiceExecutable() {
    return testing::ProgramFor("KORVALO_VENDOR_SERVICE", KORVALO_VENDOR_SERVICE_EXE);
}

VendorServiceProcess::VendorServiceProcess(const std::vector<std::string>& args)
    : StandInServer(VendorServiceExecutable(), args) {}

std::string VendorServiceProcess::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

std::string VendorServiceProcess::PathLoaderEndpoint() const {
    return Url("/scripts/PathLoaderSrv.dll");
}

}  // namespace korvalo::vendortest
