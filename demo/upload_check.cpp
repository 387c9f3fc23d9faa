#include "upload_check.h"

#include <chrono>

#include "batch_answer.h"
#include "codepage.h"
#include "multipart.h"
#include "web_text.h"

namespace korvalo::demo {

namespace {

constexpr std::size_t kMaxShownText = 64 * 1024;

nlohmann::ordered_json SignatureEntry(const std::optional<std::string>& document,
                                      const std::string& signatureText,
                                      const SignatureReport& report) {
    nlohmann::ordered_json entry;
    entry["document"] = document ? nlohmann::ordered_json(*document) : nullptr;
    entry["present"] = true;
    entry["korvaloError"] = "";
    entry["layout"] = SignatureLayout(signatureText);
    entry.update(report.ToJson());
    return entry;
}

nlohmann::ordered_json MissingSignature(const std::string& document, const std::string& why,
                                        const std::string& korvaloError) {
    SignatureReport none;
    none.error = why;
    nlohmann::ordered_json entry;
    entry["document"] = document;
    entry["present"] = false;
    entry["korvaloError"] = korvaloError;
    entry["layout"] = "";
    entry.update(none.ToJson());
    return entry;
}

bool SignatureAccepted(const nlohmann::ordered_json& entry) {
    return entry.value("verified", false) && entry.value("chainsToCa", false);
}

void CheckBatch(const IssuedRequest& request, const std::string& signatureField,
                const std::string& file, const SignatureChecker& checker,
                nlohmann::ordered_json& report, std::vector<std::string>& problems) {
    if (signatureField != "json")
        problems.push_back("crpt_signature of a batch upload is not \"json\"");
    BatchAnswer answer;
    try {
        answer = ParseBatchAnswer(file);
    } catch (const BatchAnswerError& e) {
        problems.push_back(e.what());
        report["batchAnswer"] = nullptr;
        return;
    }
    report["batchAnswer"] = answer.members;
    const auto member = [&](const char* name) {
        const auto it = answer.members.find(name);
        return it != answer.members.end() && it->is_string() ? it->get<std::string>()
                                                             : std::string();
    };
    if (member("urlToAnswer") != request.urlToAnswer)
        problems.push_back("the batch answer names another urlToAnswer");
    if (member("urlToRedirect") != request.urlToRedirect)
        problems.push_back("the batch answer names another urlToRedirect");
    if (member("crpt_cookie") != request.cookie)
        problems.push_back("the batch answer carries another crpt_cookie");

    for (const SentDocument& document : request.documents) {
        const BatchAnswerEntry* entry = nullptr;
        for (const BatchAnswerEntry& e : answer.files) {
            if (e.id == document.id) {
                entry = &e;
                break;
            }
        }
        if (entry == nullptr) {
            report["signatures"].push_back(
                MissingSignature(document.id, "the answer has no entry for this document", ""));
        } else if (entry->signature.empty()) {
            report["signatures"].push_back(MissingSignature(
                document.id, entry->error.empty() ? "not signed" : "Korvalo could not sign it",
                entry->error));
        } else {
            nlohmann::ordered_json signature =
                SignatureEntry(document.id, entry->signature,
                               checker.VerifyDetachedBase64(entry->signature, document.bytes));
            signature["korvaloError"] = entry->error;
            report["signatures"].push_back(std::move(signature));
        }
    }
    for (const BatchAnswerEntry& e : answer.files) {
        bool known = false;
        for (const SentDocument& d : request.documents)
            known = known || d.id == e.id;
        if (!known)
            problems.push_back("the batch answer has an entry for a document not sent: " + e.id);
    }
}

}  // namespace

std::string SignatureLayout(const std::string& text) {
    if (text.find_first_of("\r\n") == std::string::npos)
        return "oneLine";
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            return "other";  // the last line has no CR LF, or a lone LF
        const std::size_t length = end - pos;
        const bool last = end + 2 == text.size();
        if (length == 0 || length > 64 || (!last && length != 64) ||
            text.substr(pos, length).find_first_of("\r\n") != std::string::npos)
            return "other";
        pos = end + 2;
    }
    return "lines64";
}

nlohmann::ordered_json CheckUpload(const IssuedRequest& request, const UploadInput& input,
                                   const SignatureChecker& checker) {
    const std::vector<MultipartPart> parts =
        ParseMultipart(input.body, MultipartBoundary(input.contentType));

    nlohmann::ordered_json fields = nlohmann::ordered_json::array();
    const MultipartPart* signaturePart = nullptr;
    const MultipartPart* versionPart = nullptr;
    const MultipartPart* filePart = nullptr;
    std::vector<std::string> problems;
    std::optional<std::string> echoedReq;
    for (const MultipartPart& part : parts) {
        if (part.name == "crpt_signature" && signaturePart == nullptr) {
            signaturePart = &part;
        } else if (part.name == "korvaloVersion" && versionPart == nullptr) {
            versionPart = &part;
        } else if (part.name == "crpt_file" && filePart == nullptr) {
            filePart = &part;
        } else {
            const std::string value = FormUrlDecode(part.content);
            fields.push_back({{"name", part.name}, {"value", value}});
            if (part.name == "crpt_message")
                problems.push_back("the message was echoed as a field");
            if (part.name == "req" && !echoedReq)
                echoedReq = value;
        }
    }
    if (signaturePart == nullptr)
        throw UploadError("the upload has no crpt_signature part");
    if (filePart == nullptr)
        throw UploadError("the upload has no crpt_file part");
    if (!filePart->hasFileName)
        problems.push_back("the crpt_file part has no file name");
    if (echoedReq != request.id)
        problems.push_back("the echoed req field does not name this request");

    nlohmann::ordered_json report;
    report["received"] = IsoUtc(std::chrono::system_clock::now());
    report["size"] = input.body.size();
    report["fields"] = std::move(fields);
    report["korvaloVersion"] =
        versionPart ? nlohmann::ordered_json(FormUrlDecode(versionPart->content)) : nullptr;
    report["cookie"] = input.cookie ? nlohmann::ordered_json(*input.cookie) : nullptr;
    report["cookieMatches"] = input.cookie.value_or("") == request.cookie;
    report["userAgent"] = input.userAgent;
    report["signatureField"] = signaturePart->content;
    if (versionPart == nullptr)
        problems.push_back("the upload has no korvaloVersion part");
    if (!report["cookieMatches"].get<bool>())
        problems.push_back("the Cookie header is not the crpt_cookie the page sent");

    const std::string& file = filePart->content;
    nlohmann::ordered_json fileJson;
    fileJson["name"] = filePart->fileName;
    fileJson["contentType"] = filePart->contentType;
    fileJson["size"] = file.size();
    fileJson["sha256"] = Sha256Hex(file);
    fileJson["matchesSent"] = nullptr;
    report["signatures"] = nlohmann::ordered_json::array();

    switch (request.kind) {
        case RequestKind::Message: {
            const bool matches = file == request.messageBytes;
            fileJson["matchesSent"] = matches;
            if (file.size() <= kMaxShownText)
                fileJson["text"] = Cp1251ToUtf8(file);
            if (!matches)
                problems.push_back(
                    "the signed file is not the message in code page 1251 that the page sent");
            report["file"] = std::move(fileJson);
            report["signatures"].push_back(SignatureEntry(
                std::nullopt, signaturePart->content,
                checker.VerifyDetachedBase64(signaturePart->content, request.messageBytes)));
            break;
        }
        case RequestKind::File:
            report["file"] = std::move(fileJson);
            report["signatures"].push_back(
                SignatureEntry(std::nullopt, signaturePart->content,
                               checker.VerifyDetachedBase64(signaturePart->content, file)));
            break;
        case RequestKind::Batch:
            if (file.size() <= kMaxShownText)
                fileJson["text"] = file;
            report["file"] = std::move(fileJson);
            CheckBatch(request, signaturePart->content, file, checker, report, problems);
            break;
    }

    bool ok = problems.empty() && !report["signatures"].empty();
    for (const auto& signature : report["signatures"])
        ok = ok && SignatureAccepted(signature);
    report["problems"] = problems;
    report["ok"] = ok;
    return report;
}

}  // namespace korvalo::demo
