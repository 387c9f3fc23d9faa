#pragma once
// The requests the demo service has sent to Korvalo from its page, what each one asked to be
// signed, and the reports of the uploads that came back for it.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo::demo {

enum class RequestKind { Message, File, Batch };

std::string_view KindName(RequestKind kind);
std::optional<RequestKind> KindFromName(std::string_view name);

// One document of a batch request.
struct SentDocument {
    std::string id;
    std::string title;
    std::string bytes;
};

struct IssuedRequest {
    std::string id;
    RequestKind kind = RequestKind::Message;
    bool useIdCard = false;
    std::chrono::system_clock::time_point created;
    std::string urlToAnswer;
    std::string urlToRedirect;
    std::string cookie;        // crpt_cookie: Korvalo sends it back as the upload's Cookie header
    std::string message;       // message requests: the text as the page sends it (UTF-8)
    std::string messageBytes;  // what Korvalo signs: the text in code page 1251
    std::vector<SentDocument> documents;  // batch requests
    std::string batchDocument;            // batch requests: the JSON the page posts to Korvalo
    std::vector<nlohmann::ordered_json> uploads;  // reports, oldest first

    // "waiting" before any upload, then "verified" or "failed" after the last one.
    std::string State() const;
    nlohmann::ordered_json ToJson() const;
};

// Holds the issued requests, at most `capacity` of them, in creation order. Safe to use from
// several threads.
class RequestBook {
public:
    explicit RequestBook(std::size_t capacity) : FCapacity(capacity) {}

    // False when the book is full or the id is taken.
    bool Add(IssuedRequest request);
    std::optional<IssuedRequest> Find(std::string_view id) const;
    // Appends an upload report; returns its number (1 for the first), 0 for an unknown id.
    std::size_t AddUpload(std::string_view id, nlohmann::ordered_json report);
    // Every request, oldest first.
    nlohmann::ordered_json ToJson() const;
    std::size_t Size() const;

private:
    mutable std::mutex FLock;
    std::size_t FCapacity;
    std::vector<IssuedRequest> FRequests;
};

}  // namespace korvalo::demo
