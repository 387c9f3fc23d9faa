// korvalo-card-service: stands in for the ID-card middleware on 127.0.0.1.

#include <iostream>
#include <string>
#include <vector>

#include "card_service.h"
#include "options.h"

int main(int argc, char** argv) {
    using namespace korvalo::cardservice;
    ServiceOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "korvalo-card-service: " << e.what() << "\n\n" << UsageText();
        return 2;
    }
    if (options.help) {
        std::cout << UsageText();
        return 0;
    }
    if (options.certFile.empty())
        std::cerr << "korvalo-card-service: no --cert/--key: answering every sign request "
                     "with error 1 (no card in the reader)"
                  << std::endl;
    try {
        const unsigned short port = options.port;
        CardService service(std::move(options));
        Serve(service, port, std::cout);
    } catch (const std::exception& e) {
        std::cerr << "korvalo-card-service: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
