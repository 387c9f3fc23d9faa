// korvalo-demo-service: an online service that asks Korvalo for signatures and verifies them.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>

#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "cms_check.h"
#include "demo_service.h"
#include "http_server.h"
#include "options.h"

namespace {

void LogLine(const std::string& line) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::cerr << stamp << " korvalo-demo-service: " << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace korvalo::demo;
    DemoOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "korvalo-demo-service: " << e.what() << "\n\n" << UsageText();
        return 2;
    }
    if (options.help) {
        std::cout << UsageText();
        return 0;
    }
    try {
        const SignatureChecker checker(options.caFile);
        if (!checker.HasCa())
            LogLine("no --ca given: signer certificates are not checked against a CA");

        boost::asio::io_context io;
        ServerLimits limits;
        limits.maxBodyBytes = options.maxBodyBytes;
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(),
                                                      options.port);
        std::unique_ptr<HttpServer> server;
        try {
            server = std::make_unique<HttpServer>(io, endpoint, limits);
        } catch (const boost::system::system_error& e) {
            std::cerr << "korvalo-demo-service: cannot listen on 127.0.0.1:" << options.port << ": "
                      << e.code().message() << std::endl;
            return 1;
        }

        ServiceConfig config;
        config.korvaloUrl = options.korvaloUrl;
        config.baseUrl = "http://127.0.0.1:" + std::to_string(server->Port());
        config.dataDir = options.dataDir;
        DemoService service(config, checker, LogLine);
        server->Start(service);

        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });

        std::cout << "listening on " << config.baseUrl << "/" << std::endl;
        io.run();
    } catch (const std::exception& e) {
        std::cerr << "korvalo-demo-service: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
