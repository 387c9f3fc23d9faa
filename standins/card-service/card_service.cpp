#include "card_service.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/base64.h"
#include "standin_http.h"

namespace korvalo::cardservice {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr const char* kSignPath = "/sign_kta_cms";
constexpr std::uint64_t kMaxRequestBytes = 256ull << 20;

Answer JsonAnswer(int status, const nlohmann::ordered_json& body) {
    Answer answer;
    answer.status = status;
    answer.body = body.dump();
    return answer;
}

Answer CardError(int status, const std::string& code) {
    return JsonAnswer(status, {{"error", code}});
}

}  // namespace

RequestLog::RequestLog(const std::string& file) {
    if (file.empty())
        return;
    FOut.open(file, std::ios::binary | std::ios::app);
    if (!FOut)
        throw std::runtime_error("cannot open the log file " + file);
}

void RequestLog::Write(const std::string& method, const std::string& target,
                       const std::string& contentType, const std::string& body,
                       const Answer& answer) {
    if (!FOut.is_open())
        return;
    nlohmann::ordered_json line = {
        {"method", method}, {"target", target}, {"contentType", contentType}, {"body", body}};
    switch (answer.kind) {
        case Answer::Kind::Http:
            line["status"] = answer.status;
            line["answer"] = answer.body;
            break;
        case Answer::Kind::NotHttp:
            line["notHttp"] = true;
            break;
        case Answer::Kind::Hang:
            line["hang"] = true;
            break;
    }
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(FLock);
    FOut << text << '\n' << std::flush;
}

CardService::CardService(ServiceOptions options)
    : FOptions(std::move(options)), FLog(FOptions.logFile) {
    if (!FOptions.engine.empty())
        FEngine = std::make_unique<CryptoEngine>(FOptions.engine);
    if (!FOptions.certFile.empty())
        FKey = std::make_unique<CardKey>(FOptions.certFile, FOptions.keyFile, FOptions.keyPassword);
}

Answer CardService::Handle(const std::string& method, const std::string& target,
                           const std::string& contentType, const std::string& body) {
    Answer answer = Decide(method, target, body);
    FLog.Write(method, target, contentType, body, answer);
    return answer;
}

Answer CardService::Decide(const std::string& method, const std::string& target,
                           const std::string& body) {
    const std::string path = target.substr(0, target.find('?'));
    if (path != kSignPath) {
        Answer answer;
        answer.status = 404;
        answer.contentType = "text/plain; charset=utf-8";
        answer.body = "Not Found";
        return answer;
    }
    if (method != "POST")
        return CardError(405, "930");

    const long call = ++FCalls;
    const bool failing = FOptions.shape != AnswerShape::Signature || FOptions.status;
    if (failing && (FOptions.failOnCalls.empty() || FOptions.failOnCalls.count(call) != 0))
        return FailureAnswer(body);
    return SignAnswer(body);
}

Answer CardService::SignAnswer(const std::string& body) {
    const auto request = nlohmann::json::parse(body, nullptr, false);
    if (!request.is_object())
        return CardError(400, "930");
    const auto data = request.find("data");
    if (data == request.end() || !data->is_string())
        return CardError(400, "930");
    const auto detachedMember = request.find("isDetached");
    const bool detached = detachedMember == request.end() || *detachedMember != "false";

    if (!FKey)
        return CardError(500, "1");  // no card in the reader
    std::string der;
    try {
        std::lock_guard lock(FCardLock);
        der = FKey->Sign(Base64Decode(data->get<std::string>()), detached);
    } catch (const std::exception& e) {
        std::cerr << "korvalo-card-service: " << e.what() << std::endl;
        return CardError(500, "930");
    }
    return JsonAnswer(200, {{"error", "36864"}, {"sig", Base64Encode(der)}});
}

Answer CardService::FailureAnswer(const std::string& body) {
    Answer answer;
    switch (FOptions.shape) {
        case AnswerShape::Signature:
            answer = SignAnswer(body);
            break;
        case AnswerShape::ErrorOnly:
            answer = CardError(500, FOptions.errorCode);
            break;
        case AnswerShape::Body:
            answer.body = FOptions.body;
            break;
        case AnswerShape::Garbage:
            answer.contentType = "text/plain; charset=utf-8";
            answer.body = "card reader says hello";
            break;
        case AnswerShape::Array:
            answer.body = R"(["36864","MAA="])";
            break;
        case AnswerShape::Empty:
            break;
        case AnswerShape::NotHttp:
            answer.kind = Answer::Kind::NotHttp;
            answer.body = "THIS IS NOT HTTP\r\n";
            break;
        case AnswerShape::Hang:
            answer.kind = Answer::Kind::Hang;
            break;
    }
    if (FOptions.status)
        answer.status = *FOptions.status;
    return answer;
}

namespace {

void ServeConnection(CardService& service, tcp::socket socket) {
    const std::optional<standin::Request> request = standin::ReadRequest(socket, kMaxRequestBytes);
    if (!request)
        return;
    const Answer answer =
        service.Handle(std::string(request->method_string()), std::string(request->target()),
                       std::string((*request)[http::field::content_type]), request->body());
    switch (answer.kind) {
        case Answer::Kind::Hang:
            standin::HangUntilTheClientGivesUp(socket);
            return;
        case Answer::Kind::NotHttp: {
            boost::system::error_code ec;
            asio::write(socket, asio::buffer(answer.body), ec);
            socket.shutdown(tcp::socket::shutdown_send, ec);
            return;
        }
        case Answer::Kind::Http:
            standin::WriteAnswer(socket, request->version(), answer.status, "korvalo-card-service",
                                 answer.contentType, answer.body);
            return;
    }
}

}  // namespace

void Serve(CardService& service, unsigned short port, std::ostream& announce) {
    asio::io_context io;
    tcp::acceptor acceptor(io);
    standin::OpenListener(acceptor, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    announce << "listening on 127.0.0.1:" << acceptor.local_endpoint().port() << std::endl;
    standin::AcceptForever(acceptor, "korvalo-card-service", [&service](tcp::socket socket) {
        ServeConnection(service, std::move(socket));
    });
}

}  // namespace korvalo::cardservice
