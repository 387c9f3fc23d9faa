#pragma once
// The demo web service's request handling, independent of the HTTP transport: the start page,
// new requests for Korvalo, the uploads Korvalo posts back, result pages and results JSON.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cms_check.h"
#include "request_book.h"

namespace korvalo::demo {

struct ServiceConfig {
    std::string korvaloUrl = "http://127.0.0.1:48051/";
    std::string baseUrl;            // this service's own address without the final "/"
    std::filesystem::path dataDir;  // received uploads are kept here when not empty
    std::size_t maxMessageBytes = 64 * 1024;
    std::size_t maxRequests = 10000;
    std::size_t maxUploadsPerRequest = 50;
};

struct WebRequest {
    std::string method;  // "GET", "POST", ...
    std::string target;  // path and query
    std::string contentType;
    std::optional<std::string> cookie;
    std::string userAgent;
    std::string body;
};

struct WebAnswer {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

class DemoService {
public:
    // log receives one line per upload and per failure; may be empty.
    DemoService(ServiceConfig config, const SignatureChecker& checker,
                std::function<void(const std::string&)> log = {});

    WebAnswer Handle(const WebRequest& request);

    // The documents of a batch request with this id (also used by tests).
    static std::vector<SentDocument> BatchDocuments(const std::string& id);

private:
    WebAnswer NewRequest(const WebRequest& request);
    WebAnswer Upload(const WebRequest& request);
    WebAnswer Result(const WebRequest& request);
    WebAnswer Results(const WebRequest& request);
    void Save(const std::string& id, std::size_t number, const std::string& body,
              const std::string& report);
    void Log(const std::string& line);

    ServiceConfig FConfig;
    const SignatureChecker& FChecker;
    std::function<void(const std::string&)> FLog;
    RequestBook FBook;
};

}  // namespace korvalo::demo
