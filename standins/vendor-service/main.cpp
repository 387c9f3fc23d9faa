// korvalo-vendor-service: stands in for the maker's path-loader and update services on the
// loopback interface.

#include <iostream>
#include <string>
#include <vector>

#include "catalog.h"
#include "options.h"
#include "vendor_service.h"

int main(int argc, char** argv) {
    using namespace korvalo::vendorservice;
    ServiceOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "korvalo-vendor-service: " << e.what() << "\n\n" << UsageText();
        return 2;
    }
    if (options.help) {
        std::cout << UsageText();
        return 0;
    }
    if (options.printDefaultPort) {
        std::cout << DefaultPort() << std::endl;
        return 0;
    }
    try {
        Listener listener(options.port);
        const std::string self = SelfAddress(listener.Port());
        Catalog catalog = options.configFile.empty() ? Catalog::BuiltIn(self)
                                                     : Catalog::FromFile(options.configFile, self);
        VendorService service(std::move(options), std::move(catalog));
        std::cout << "listening on 127.0.0.1:" << listener.Port() << std::endl;
        listener.Run(service);
    } catch (const std::exception& e) {
        std::cerr << "korvalo-vendor-service: " << e.what() << std::endl;
        return 1;
    }
}
