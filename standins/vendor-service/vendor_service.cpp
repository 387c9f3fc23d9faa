#include "vendor_service.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <pugixml.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/text.h"
#include "standin_http.h"

namespace korvalo::vendorservice {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::uint64_t kMaxRequestBytes = 1u << 20;
constexpr const char* kEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";
constexpr const char* kPathLoaderNs = "urn:uPathLoaderIntf-IPathLoaderSrv";
constexpr const char* kUpdateNs = "urn:UpdateSrvIntf-IUpdateSrv";
constexpr const char* kPathLoaderPath = "/scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv";
constexpr const char* kUpdatePath = "/soap/IUpdateSrv";

// ---- reading the request ----

std::string_view LocalName(const char* name) {
    const std::string_view text(name);
    const std::size_t colon = text.find(':');
    return colon == std::string_view::npos ? text : text.substr(colon + 1);
}

std::string_view Prefix(const char* name) {
    const std::string_view text(name);
    const std::size_t colon = text.find(':');
    return colon == std::string_view::npos ? std::string_view() : text.substr(0, colon);
}

std::string_view NamespaceOf(pugi::xml_node node) {
    const std::string_view prefix = Prefix(node.name());
    const std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
    for (pugi::xml_node n = node; n; n = n.parent()) {
        if (const pugi::xml_attribute a = n.attribute(attribute.c_str()))
            return a.value();
    }
    return {};
}

bool Is(pugi::xml_node node, std::string_view ns, std::string_view local) {
    return node.type() == pugi::node_element && LocalName(node.name()) == local &&
           NamespaceOf(node) == ns;
}

pugi::xml_node FirstElement(pugi::xml_node parent) {
    for (pugi::xml_node child : parent.children()) {
        if (child.type() == pugi::node_element)
            return child;
    }
    return {};
}

// The client's mistake, answered with a fault "SOAP-ENV:Client".
struct ClientError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One call read from a request envelope.
struct Call {
    std::string operation;
    std::string nameSpace;
    std::map<std::string, std::string> parameters;

    std::string Text(const std::string& name) const {
        const auto found = parameters.find(name);
        if (found == parameters.end())
            throw ClientError("parameter " + name + " is missing");
        return found->second;
    }
    std::int32_t Int(const std::string& name) const {
        std::int32_t value = 0;
        if (!ParseInteger(Trim(Text(name)), value, false))
            throw ClientError("parameter " + name + " is not an integer");
        return value;
    }
};

Call ReadCall(const std::string& body) {
    pugi::xml_document doc;
    if (!doc.load_buffer(body.data(), body.size(), pugi::parse_default & ~pugi::parse_eol))
        throw ClientError("the request is not XML");
    const pugi::xml_node envelope = doc.document_element();
    if (!Is(envelope, kEnvelopeNs, "Envelope"))
        throw ClientError("the request is not a SOAP 1.1 envelope");
    pugi::xml_node body_;
    for (pugi::xml_node child : envelope.children()) {
        if (Is(child, kEnvelopeNs, "Body"))
            body_ = child;
    }
    const pugi::xml_node operation = FirstElement(body_);
    if (!operation)
        throw ClientError("the request names no operation");
    Call call;
    call.operation = LocalName(operation.name());
    call.nameSpace = NamespaceOf(operation);
    for (pugi::xml_node p : operation.children()) {
        if (p.type() != pugi::node_element)
            continue;
        std::string text;
        for (pugi::xml_node c : p.children()) {
            if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
                text += c.value();
        }
        call.parameters[std::string(LocalName(p.name()))] = text;
    }
    return call;
}

// ---- writing the answer ----

struct SchemaNamespaces {
    const char* xsd;
    const char* xsi;
};

SchemaNamespaces NamespacesOf(SchemaVersion version) {
    switch (version) {
        case SchemaVersion::v1999:
            return {"http://www.w3.org/1999/XMLSchema",
                    "http://www.w3.org/1999/XMLSchema-instance"};
        case SchemaVersion::v2000:
            return {"http://www.w3.org/2000/10/XMLSchema",
                    "http://www.w3.org/2000/10/XMLSchema-instance"};
        case SchemaVersion::v2001:
            break;
    }
    return {"http://www.w3.org/2001/XMLSchema", "http://www.w3.org/2001/XMLSchema-instance"};
}

struct OutValue {
    std::string name;
    const char* type;  // "xsd:string", "xsd:int", "xsd:boolean"
    std::string text;
};

pugi::xml_node NewEnvelope(pugi::xml_document& doc, const ServiceOptions& options) {
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";
    const SchemaNamespaces ns = NamespacesOf(options.schema);
    pugi::xml_node envelope = doc.append_child("SOAP-ENV:Envelope");
    envelope.append_attribute("xmlns:SOAP-ENV") = kEnvelopeNs;
    envelope.append_attribute("xmlns:xsd") = ns.xsd;
    envelope.append_attribute("xmlns:xsi") = ns.xsi;
    envelope.append_attribute("xmlns:SOAP-ENC") = kEncodingNs;
    return envelope.append_child("SOAP-ENV:Body");
}

std::string Serialized(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw, pugi::encoding_utf8);
    return out.str();
}

std::string RpcAnswer(const Call& call, const std::vector<OutValue>& values,
                      const ServiceOptions& options) {
    pugi::xml_document doc;
    pugi::xml_node body = NewEnvelope(doc, options);
    body.append_attribute("SOAP-ENV:encodingStyle") = kEncodingNs;
    pugi::xml_node response = body.append_child(("NS1:" + call.operation + "Response").c_str());
    response.append_attribute("xmlns:NS1") = call.nameSpace.c_str();
    int id = 0;
    for (const OutValue& v : values) {
        pugi::xml_node accessor = response.append_child(v.name.c_str());
        pugi::xml_node holder = accessor;
        if (options.multiRef) {
            const std::string ref = std::to_string(++id);
            accessor.append_attribute("href") = ("#" + ref).c_str();
            const std::string type = LocalName(v.type).data();
            holder = body.append_child(("SOAP-ENC:" + type).c_str());
            holder.append_attribute("id") = ref.c_str();
        }
        holder.append_attribute("xsi:type") = v.type;
        holder.text().set(v.text.c_str());
    }
    return Serialized(doc);
}

Answer FaultAnswer(const std::string& code, const std::string& text,
                   const ServiceOptions& options) {
    pugi::xml_document doc;
    pugi::xml_node fault = NewEnvelope(doc, options).append_child("SOAP-ENV:Fault");
    fault.append_child("faultcode").text().set(code.c_str());
    fault.append_child("faultstring").text().set(text.c_str());
    Answer answer;
    answer.status = 500;
    answer.body = Serialized(doc);
    return answer;
}

Answer TextAnswer(int status, const std::string& contentType, const std::string& body) {
    Answer answer;
    answer.status = status;
    answer.contentType = contentType;
    answer.body = body;
    return answer;
}

std::string Unquoted(std::string text) {
    text = Trim(text);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    return text;
}

std::string JoinLines(const std::vector<std::string>& lines, const std::string& lineEnd) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i == 0 ? "" : lineEnd) + lines[i];
    return text;
}

// ---- the operations ----

std::vector<OutValue> GetDllPathAndMenu(const Catalog& catalog, const Call& call,
                                        const ServiceOptions& options) {
    const std::string softwareId = call.Text("SoftwareID");
    const std::string menuId = call.Text("MenuID");
    auto refuse = [](const std::string& message) {
        return std::vector<OutValue>{{"return", "xsd:boolean", "false"},
                                     {"Menu", "xsd:string", ""},
                                     {"Paths", "xsd:string", ""},
                                     {"Msg", "xsd:string", message}};
    };
    if (options.failure == FailureMode::Refuse)
        return refuse(options.text);
    const Software* software = catalog.BySoftwareId(softwareId);
    if (software == nullptr)
        return refuse("Программа " + softwareId + " не зарегистрирована на сервере адресов");
    const auto menu = software->menus.find(menuId);
    if (menu == software->menus.end())
        return refuse("Меню \"" + menuId + "\" для программы не найдено");
    const std::string lineEnd = options.crlf ? "\r\n" : "\n";
    std::vector<std::string> names;
    std::vector<std::string> paths;
    for (const Connection& c : menu->second) {
        names.push_back(c.name);
        paths.push_back(JoinLines(c.paths, "\t"));
    }
    return {{"return", "xsd:boolean", "true"},
            {"Menu", "xsd:string", JoinLines(names, lineEnd)},
            {"Paths", "xsd:string", JoinLines(paths, lineEnd)},
            {"Msg", "xsd:string", ""}};
}

std::vector<OutValue> VersionVerdict(const Software* software, const std::string& who,
                                     const std::string& version, const ServiceOptions& options) {
    int code = 0;
    std::string message;
    if (options.failure == FailureMode::Refuse) {
        code = 1;
        message = options.text;
    } else if (software == nullptr) {
        code = 1;
        message = "Программа " + who + " не зарегистрирована на сервере обновлений";
    } else if (CompareVersions(version, software->version) < 0) {
        code = 2;
        message = software->version;
    }
    return {{"return", "xsd:int", std::to_string(code)},
            {"strErrMsg", "xsd:string", message},
            {"iErrCode", "xsd:int", std::to_string(code)}};
}

std::vector<OutValue> DownloadLink(const Software* software, const std::string& who,
                                   const ServiceOptions& options) {
    int code = 0;
    std::string message;
    std::string link;
    if (options.failure == FailureMode::Refuse) {
        code = 1;
        message = options.text;
    } else if (software == nullptr || software->download.empty()) {
        code = 1;
        message = "Для программы " + who + " нет адреса загрузки";
    } else {
        link = software->download;
    }
    return {{"return", "xsd:string", link},
            {"strErrMsg", "xsd:string", message},
            {"iErrCode", "xsd:int", std::to_string(code)}};
}

std::vector<OutValue> UpdateOperation(const Catalog& catalog, const Call& call,
                                      const ServiceOptions& options) {
    if (call.operation == "CheckVersionNew") {
        const std::string id = call.Text("strSoftwareID");
        (void)call.Int("iErrCode");
        return VersionVerdict(catalog.BySoftwareId(id), id, call.Text("strVersion"), options);
    }
    if (call.operation == "CheckVersion") {
        const std::string module = call.Text("strModuleName");
        (void)call.Int("iBaseType");
        (void)call.Int("iSection");
        (void)call.Int("iErrCode");
        return VersionVerdict(catalog.ByModule(module), module, call.Text("strVersion"), options);
    }
    if (call.operation == "GetDownloadLinkNew") {
        const std::string id = call.Text("strSoftwareID");
        (void)call.Int("iErrCode");
        return DownloadLink(catalog.BySoftwareId(id), id, options);
    }
    if (call.operation == "GetDownloadLink") {
        const std::string module = call.Text("strModuleName");
        (void)call.Int("iSection");
        (void)call.Int("iErrCode");
        return DownloadLink(catalog.ByModule(module), module, options);
    }
    throw ClientError("IUpdateSrv has no operation " + call.operation);
}

}  // namespace

RequestLog::RequestLog(const std::string& file) {
    if (file.empty())
        return;
    out_.open(file, std::ios::binary | std::ios::app);
    if (!out_)
        throw std::runtime_error("cannot open the log file " + file);
}

void RequestLog::Write(const Request& request, const Answer& answer) {
    if (!out_.is_open())
        return;
    nlohmann::ordered_json line = {{"method", request.method},
                                   {"target", request.target},
                                   {"soapAction", request.soapAction},
                                   {"contentType", request.contentType},
                                   {"body", request.body}};
    switch (answer.kind) {
        case Answer::Kind::Http:
            line["status"] = answer.status;
            line["answer"] = answer.body;
            break;
        case Answer::Kind::Hang:
            line["hang"] = true;
            break;
        case Answer::Kind::Reset:
            line["reset"] = true;
            break;
    }
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(lock_);
    out_ << text << '\n' << std::flush;
}

VendorService::VendorService(ServiceOptions options, Catalog catalog)
    : options_(std::move(options)), catalog_(std::move(catalog)), log_(options_.logFile) {}

Answer VendorService::Handle(const Request& request) {
    Answer answer = Decide(request);
    log_.Write(request, answer);
    return answer;
}

Answer VendorService::Failure() {
    switch (options_.failure) {
        case FailureMode::Status:
            return TextAnswer(
                options_.status, "text/html; charset=utf-8",
                "<html><body><h1>" + std::to_string(options_.status) + "</h1></body></html>");
        case FailureMode::Fault:
            return FaultAnswer("SOAP-ENV:Server", options_.text, options_);
        case FailureMode::Garbage:
            return TextAnswer(200, "text/html; charset=utf-8",
                              "<html><body>The service is being maintained</body></html>");
        case FailureMode::Hang: {
            Answer answer;
            answer.kind = Answer::Kind::Hang;
            return answer;
        }
        case FailureMode::Reset: {
            Answer answer;
            answer.kind = Answer::Kind::Reset;
            return answer;
        }
        case FailureMode::None:
        case FailureMode::Refuse:
        case FailureMode::Slow:
            break;
    }
    return {};
}

Answer VendorService::Decide(const Request& request) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    const bool pathLoader = path.ends_with(kPathLoaderPath);
    const bool update = path.ends_with(kUpdatePath);
    if (!pathLoader && !update) {
        if (request.method == "GET" && path == "/")
            return TextAnswer(200, "text/plain; charset=utf-8",
                              "korvalo-vendor-service: POST SOAP requests to "
                              "/scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv and "
                              "/soap/IUpdateSrv\n");
        return TextAnswer(404, "text/plain; charset=utf-8", "Not Found");
    }
    if (request.method != "POST")
        return TextAnswer(405, "text/plain; charset=utf-8", "SOAP requests are POSTed");

    // Every SOAP request counts for --fail-on-call.
    const long call = ++calls_;
    const bool failing = options_.failure != FailureMode::None &&
                         (options_.failOnCalls.empty() || options_.failOnCalls.count(call) != 0);
    ServiceOptions effective = options_;
    if (!failing)
        effective.failure = FailureMode::None;
    if (effective.failure == FailureMode::Slow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
        effective.failure = FailureMode::None;
    }
    if (effective.failure != FailureMode::None && effective.failure != FailureMode::Refuse)
        return Failure();

    try {
        if (!StartsWithNoCase(request.contentType, "text/xml"))
            throw ClientError("the content type must be text/xml, not \"" + request.contentType +
                              "\"");
        const Call soapCall = ReadCall(request.body);
        const char* ns = pathLoader ? kPathLoaderNs : kUpdateNs;
        if (soapCall.nameSpace != ns)
            throw ClientError("the operation's namespace must be " + std::string(ns));
        const std::string action = Unquoted(request.soapAction);
        if (action != std::string(ns) + "#" + soapCall.operation)
            throw ClientError("SOAPAction \"" + action + "\" does not name the operation " +
                              soapCall.operation);
        std::vector<OutValue> values;
        if (pathLoader) {
            if (soapCall.operation != "GetDllPathAndMenu")
                throw ClientError("IPathLoaderSrv has no operation " + soapCall.operation);
            values = GetDllPathAndMenu(catalog_, soapCall, effective);
        } else {
            values = UpdateOperation(catalog_, soapCall, effective);
        }
        Answer answer;
        answer.body = RpcAnswer(soapCall, values, effective);
        return answer;
    } catch (const ClientError& e) {
        return FaultAnswer("SOAP-ENV:Client", e.what(), options_);
    }
}

// ---- the sockets ----

struct Listener::Sockets {
    asio::io_context io;
    tcp::acceptor v4{io};
    tcp::acceptor v6{io};
};

namespace {

void ServeConnection(VendorService& service, tcp::socket socket) {
    const std::optional<standin::Request> message = standin::ReadRequest(socket, kMaxRequestBytes);
    if (!message)
        return;
    Request request;
    request.method = std::string(message->method_string());
    request.target = std::string(message->target());
    request.soapAction = std::string((*message)["SOAPAction"]);
    request.contentType = std::string((*message)[http::field::content_type]);
    request.body = message->body();
    const Answer answer = service.Handle(request);
    switch (answer.kind) {
        case Answer::Kind::Hang:
            standin::HangUntilTheClientGivesUp(socket);
            return;
        case Answer::Kind::Reset: {
            boost::system::error_code ec;
            socket.set_option(asio::socket_base::linger(true, 0), ec);
            socket.close(ec);
            return;
        }
        case Answer::Kind::Http:
            standin::WriteAnswer(socket, message->version(), answer.status,
                                 "korvalo-vendor-service", answer.contentType, answer.body);
            return;
    }
}

[[noreturn]] void AcceptLoop(tcp::acceptor& acceptor, VendorService& service) {
    standin::AcceptForever(acceptor, "korvalo-vendor-service", [&service](tcp::socket socket) {
        ServeConnection(service, std::move(socket));
    });
}

}  // namespace

Listener::Listener(unsigned short port) : sockets_(std::make_unique<Sockets>()) {
    standin::OpenListener(sockets_->v4, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    port_ = sockets_->v4.local_endpoint().port();
    try {
        standin::OpenListener(sockets_->v6, tcp::endpoint(asio::ip::make_address("::1"), port_));
    } catch (const std::exception& e) {
        boost::system::error_code ignored;
        sockets_->v6.close(ignored);
        std::cerr << "korvalo-vendor-service: not listening on [::1]:" << port_ << ": " << e.what()
                  << std::endl;
    }
}

Listener::~Listener() = default;

bool Listener::HasIpv6() const {
    return sockets_->v6.is_open();
}

void Listener::Run(VendorService& service) {
    if (HasIpv6())
        std::thread([this, &service] { AcceptLoop(sockets_->v6, service); }).detach();
    AcceptLoop(sockets_->v4, service);
}

std::string SelfAddress(unsigned short port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

}  // namespace korvalo::vendorservice
