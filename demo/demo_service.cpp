#include "demo_service.h"

#include <fstream>

#include "codepage.h"
#include "multipart.h"
#include "pages.h"
#include "upload_check.h"
#include "web_text.h"

namespace korvalo::demo {

namespace {

constexpr auto kJson = "application/json; charset=utf-8";
constexpr auto kHtml = "text/html; charset=utf-8";

WebAnswer Text(int status, std::string text) {
    WebAnswer answer;
    answer.status = status;
    answer.body = std::move(text) + "\n";
    return answer;
}

WebAnswer Json(int status, const nlohmann::ordered_json& json) {
    WebAnswer answer;
    answer.status = status;
    answer.contentType = kJson;
    answer.body = json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return answer;
}

WebAnswer Html(int status, std::string html) {
    WebAnswer answer;
    answer.status = status;
    answer.contentType = kHtml;
    answer.body = std::move(html);
    return answer;
}

WebAnswer MethodNotAllowed(const char* allow) {
    WebAnswer answer = Text(405, std::string("method not allowed; use ") + allow);
    answer.headers.emplace_back("Allow", allow);
    return answer;
}

bool IsGet(const WebRequest& r) {
    return r.method == "GET" || r.method == "HEAD";
}

bool FlagSet(const std::optional<std::string>& value) {
    return value && (*value == "1" || EqualsNoCase(*value, "true") || EqualsNoCase(*value, "on"));
}

}  // namespace

DemoService::DemoService(ServiceConfig config, const SignatureChecker& checker,
                         std::function<void(const std::string&)> log)
    : FConfig(std::move(config)),
      FChecker(checker),
      FLog(std::move(log)),
      FBook(FConfig.maxRequests) {}

void DemoService::Log(const std::string& line) {
    if (FLog)
        FLog(line);
}

WebAnswer DemoService::Handle(const WebRequest& request) {
    const std::string path(TargetPath(request.target));
    try {
        if (path == "/") {
            if (!IsGet(request))
                return MethodNotAllowed("GET, HEAD");
            return Html(200, IndexPage(FConfig.korvaloUrl, FBook.ToJson()));
        }
        if (path == "/new") {
            if (!IsGet(request) && request.method != "POST")
                return MethodNotAllowed("GET, POST");
            return NewRequest(request);
        }
        if (path == "/upload") {
            if (request.method != "POST")
                return MethodNotAllowed("POST");
            return Upload(request);
        }
        if (path == "/result") {
            if (!IsGet(request))
                return MethodNotAllowed("GET, HEAD");
            return Result(request);
        }
        if (path == "/results.json") {
            if (!IsGet(request))
                return MethodNotAllowed("GET, HEAD");
            return Results(request);
        }
        return Text(404, "not found: " + path);
    } catch (const std::exception& e) {
        Log("error while serving " + request.method + " " + path + ": " + e.what());
        return Text(500, std::string("internal error: ") + e.what());
    }
}

std::vector<SentDocument> DemoService::BatchDocuments(const std::string& id) {
    std::string binary;
    for (int b = 0; b < 256; ++b)
        binary += static_cast<char>(b);
    binary += "\r\n" + id;
    return {
        {"doc1", "Заявление (текст, UTF-8)",
         "Заявление № " + id + "\r\nПрошу выдать справку о состоянии лицевого счёта.\r\n"},
        {"doc2", "Договор (XML)",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<contract number=\"" + id +
             "\"><party>ООО «Ромашка»</party><sum currency=\"BYN\">1250.00</sum></contract>\n"},
        {"doc3", "Двоичные данные (все 256 значений байта)", binary},
    };
}

WebAnswer DemoService::NewRequest(const WebRequest& request) {
    const std::optional<std::string> kindText = QueryValue(request.target, "kind");
    const std::optional<RequestKind> kind = kindText ? KindFromName(*kindText) : std::nullopt;
    if (!kind)
        return Text(400, "kind must be message, file or batch");

    IssuedRequest issued;
    issued.id = RandomId();
    issued.kind = *kind;
    issued.useIdCard = FlagSet(QueryValue(request.target, "idcard"));
    issued.created = std::chrono::system_clock::now();
    issued.cookie = "DEMOSESSION=" + RandomId();
    issued.urlToAnswer = FConfig.baseUrl + "/upload?req=" + issued.id;
    issued.urlToRedirect = FConfig.baseUrl + "/result?req=" + issued.id;

    nlohmann::ordered_json answer;
    answer["req"] = issued.id;
    answer["kind"] = KindName(issued.kind);
    answer["useIdCard"] = issued.useIdCard;
    answer["korvalo"] = FConfig.korvaloUrl;
    answer["resultUrl"] = issued.urlToRedirect;

    if (issued.kind == RequestKind::Batch) {
        issued.documents = BatchDocuments(issued.id);
        nlohmann::ordered_json document;
        document["urlToAnswer"] = issued.urlToAnswer;
        document["urlToRedirect"] = issued.urlToRedirect;
        document["crpt_cookie"] = issued.cookie;
        document["beanName"] = "demoService";
        document["beanMethod"] = "signDocuments";
        document["idUser"] = "demo-user-1";
        document["req"] = issued.id;
        if (issued.useIdCard)
            document["useIdCard"] = 1;
        document["files"] = nlohmann::ordered_json::array();
        for (const SentDocument& d : issued.documents)
            document["files"].push_back({{"id", d.id}, {"data64", Base64Encode(d.bytes)}});
        // Korvalo reads the body as UTF-8; escaping keeps the document ASCII all the same.
        issued.batchDocument = document.dump(-1, ' ', true);
        answer["document"] = issued.batchDocument;
    } else {
        nlohmann::ordered_json form;
        form["urlToAnswer"] = issued.urlToAnswer;
        form["urlToRedirect"] = issued.urlToRedirect;
        if (issued.kind == RequestKind::Message) {
            std::string message = request.method == "POST" ? request.body : std::string();
            if (message.empty())
                message = QueryValue(request.target, "message").value_or(kDefaultMessage);
            if (message.size() > FConfig.maxMessageBytes)
                return Text(413, "the message is longer than " +
                                     std::to_string(FConfig.maxMessageBytes) + " bytes");
            if (!IsValidUtf8(message))
                return Text(400, "the message is not UTF-8 text");
            if (message.find_first_of("\r\n") != std::string::npos)
                return Text(400,
                            "the message must be one line: Korvalo splits the echoed "
                            "parameters at line breaks");
            issued.message = message;
            issued.messageBytes = Utf8ToCp1251(message);
            form["crpt_message"] = message;
        }
        form["crpt_cookie"] = issued.cookie;
        form["useIdCard"] = issued.useIdCard ? "1" : "0";
        form["req"] = issued.id;
        answer["form"] = std::move(form);
    }
    if (!FBook.Add(issued))
        return Text(503, "too many requests are kept; restart the demo service");
    return Json(200, answer);
}

WebAnswer DemoService::Upload(const WebRequest& request) {
    const std::optional<std::string> id = QueryValue(request.target, "req");
    if (!id || id->empty())
        return Text(400, "the upload address names no request (req)");
    const std::optional<IssuedRequest> issued = FBook.Find(*id);
    if (!issued)
        return Text(404, "unknown request: " + *id);
    if (issued->uploads.size() >= FConfig.maxUploadsPerRequest)
        return Text(429, "too many uploads for this request");

    nlohmann::ordered_json report;
    try {
        report = CheckUpload(*issued,
                             {request.contentType, request.cookie, request.userAgent, request.body},
                             FChecker);
    } catch (const MultipartError& e) {
        Log("upload for " + *id + " refused: " + e.what());
        return Text(400, std::string("malformed multipart/form-data body: ") + e.what());
    } catch (const UploadError& e) {
        Log("upload for " + *id + " refused: " + e.what());
        return Text(400, e.what());
    }
    const bool ok = report.value("ok", false);
    const std::string reportText =
        report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::size_t number = FBook.AddUpload(*id, std::move(report));
    Save(*id, number, request.body, reportText);
    Log("upload " + std::to_string(number) + " for " + std::string(KindName(issued->kind)) +
        " request " + *id + ": " + (ok ? "verified" : "NOT verified"));
    return Text(200, ok ? "Принято. Подпись проверена." : "Принято. Подпись не прошла проверку.");
}

void DemoService::Save(const std::string& id, std::size_t number, const std::string& body,
                       const std::string& report) {
    if (FConfig.dataDir.empty())
        return;
    try {
        const std::filesystem::path folder = FConfig.dataDir / id;
        std::filesystem::create_directories(folder);
        const std::string stem = "upload-" + std::to_string(number);
        std::ofstream(folder / (stem + ".multipart"), std::ios::binary) << body;
        std::ofstream(folder / (stem + ".json"), std::ios::binary) << report << "\n";
    } catch (const std::exception& e) {
        Log("cannot keep the upload in " + FConfig.dataDir.string() + ": " + e.what());
    }
}

WebAnswer DemoService::Result(const WebRequest& request) {
    const std::optional<std::string> id = QueryValue(request.target, "req");
    if (!id)
        return Html(400, NotFoundPage("Не указан запрос (параметр req)."));
    const std::optional<IssuedRequest> issued = FBook.Find(*id);
    if (!issued)
        return Html(404, NotFoundPage("Запрос " + *id + " не найден."));
    return Html(200, ResultPage(*issued));
}

WebAnswer DemoService::Results(const WebRequest& request) {
    const std::optional<std::string> id = QueryValue(request.target, "req");
    if (id) {
        const std::optional<IssuedRequest> issued = FBook.Find(*id);
        if (!issued)
            return Json(404, {{"error", "unknown request"}, {"req", *id}});
        return Json(200, issued->ToJson());
    }
    nlohmann::ordered_json all;
    all["service"] = "korvalo-demo-service";
    all["korvalo"] = FConfig.korvaloUrl;
    all["requests"] = FBook.ToJson();
    return Json(200, all);
}

}  // namespace korvalo::demo
