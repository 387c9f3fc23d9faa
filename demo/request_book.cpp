#include "request_book.h"

#include <algorithm>

#include "web_text.h"

namespace korvalo::demo {

std::string_view KindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::Message:
            return "message";
        case RequestKind::File:
            return "file";
        case RequestKind::Batch:
            return "batch";
    }
    return "message";
}

std::optional<RequestKind> KindFromName(std::string_view name) {
    for (RequestKind kind : {RequestKind::Message, RequestKind::File, RequestKind::Batch}) {
        if (KindName(kind) == name)
            return kind;
    }
    return std::nullopt;
}

std::string IssuedRequest::State() const {
    if (uploads.empty())
        return "waiting";
    return uploads.back().value("ok", false) ? "verified" : "failed";
}

nlohmann::ordered_json IssuedRequest::ToJson() const {
    nlohmann::ordered_json sent;
    sent["urlToAnswer"] = urlToAnswer;
    sent["urlToRedirect"] = urlToRedirect;
    sent["crpt_cookie"] = cookie;
    if (kind == RequestKind::Message) {
        sent["message"] = message;
        sent["messageBytes"] = messageBytes.size();
        sent["messageSha256"] = Sha256Hex(messageBytes);
    }
    if (kind == RequestKind::Batch) {
        sent["documents"] = nlohmann::ordered_json::array();
        for (const SentDocument& d : documents)
            sent["documents"].push_back({{"id", d.id},
                                         {"title", d.title},
                                         {"size", d.bytes.size()},
                                         {"sha256", Sha256Hex(d.bytes)}});
    }
    nlohmann::ordered_json json;
    json["req"] = id;
    json["kind"] = KindName(kind);
    json["useIdCard"] = useIdCard;
    json["created"] = IsoUtc(created);
    json["state"] = State();
    json["sent"] = std::move(sent);
    json["uploads"] = nlohmann::ordered_json::array();
    for (const auto& upload : uploads)
        json["uploads"].push_back(upload);
    return json;
}

bool RequestBook::Add(IssuedRequest request) {
    std::lock_guard lock(FLock);
    if (FRequests.size() >= FCapacity)
        return false;
    if (std::any_of(FRequests.begin(), FRequests.end(),
                    [&](const IssuedRequest& r) { return r.id == request.id; }))
        return false;
    FRequests.push_back(std::move(request));
    return true;
}

std::optional<IssuedRequest> RequestBook::Find(std::string_view id) const {
    std::lock_guard lock(FLock);
    for (const IssuedRequest& r : FRequests) {
        if (r.id == id)
            return r;
    }
    return std::nullopt;
}

std::size_t RequestBook::AddUpload(std::string_view id, nlohmann::ordered_json report) {
    std::lock_guard lock(FLock);
    for (IssuedRequest& r : FRequests) {
        if (r.id == id) {
            r.uploads.push_back(std::move(report));
            return r.uploads.size();
        }
    }
    return 0;
}

nlohmann::ordered_json RequestBook::ToJson() const {
    std::lock_guard lock(FLock);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const IssuedRequest& r : FRequests)
        list.push_back(r.ToJson());
    return list;
}

std::size_t RequestBook::Size() const {
    std::lock_guard lock(FLock);
    return FRequests.size();
}

}  // namespace korvalo::demo
