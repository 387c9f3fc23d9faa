#include "demo/demo_fixture.h"

#include <openssl/evp.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <chrono>
#include <stdexcept>

namespace korvalo::demotest {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

void Issue(const std::filesystem::path& dir, const std::string& name, const std::string& subject,
           const std::string& serial, const std::vector<std::string>& keyArgs) {
    const std::string key = (dir / (name + ".key")).string();
    const std::string csr = (dir / (name + ".csr")).string();
    std::vector<std::string> req{"req", "-new", "-utf8", "-nodes", "-keyout",
                                 key,   "-out", csr,     "-subj",  subject};
    req.insert(req.end(), keyArgs.begin(), keyArgs.end());
    OpenSsl(req);
    OpenSsl({"x509", "-req", "-in", csr, "-CA", (dir / "ca.pem").string(), "-CAkey",
             (dir / "ca.key").string(), "-set_serial", serial, "-days", "30", "-extfile",
             (dir / "user.ext").string(), "-out", (dir / (name + ".pem")).string()});
}

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::vector<std::string> ServiceArguments(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KORVALO_DEMO_SERVICE_EXE, "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

void OpenSsl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const testing::CommandResult run = testing::RunCommand(argv);
    if (run.exitCode != 0)
        throw std::runtime_error("openssl " + args.front() + " failed: " + run.output);
}

Pki::Pki() {
    const auto& d = dir();
    OpenSsl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", (d / "ca.key").string(), "-out", (d / "ca.pem").string(), "-subj",
             "/C=BY/O=Korvalo Test/CN=Korvalo Test CA", "-days", "30", "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext",
             "keyUsage=critical,keyCertSign,cRLSign"});
    testing::WriteBytes(
        d / "user.ext",
        "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n");
    Issue(d, "user",
          "/C=BY/O=ООО Демо/OU=Отдел подписи/SN=Иванов/GN=Иван/name=Иван Иванович/CN=Иванов Иван "
          "Иванович",
          "0x8A0B0C0D01", {"-newkey", "rsa:2048"});
    Issue(d, "card", "/C=BY/SN=Петрова/GN=Анна/CN=Петрова Анна (ID-карта)", "0x0203",
          {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"});
    OpenSsl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", (d / "stranger.key").string(), "-out", (d / "stranger.pem").string(),
             "-subj", "/C=BY/CN=Stranger", "-days", "30"});
}

std::string SignDetached(const std::string& content, const std::filesystem::path& cert,
                         const std::filesystem::path& key, const std::string& digest) {
    TempDir dir;
    testing::WriteBytes(dir.path() / "content", content);
    OpenSsl({"cms", "-sign", "-binary", "-md", digest, "-in", (dir.path() / "content").string(),
             "-signer", cert.string(), "-inkey", key.string(), "-outform", "DER", "-out",
             (dir.path() / "sig.der").string()});
    return testing::ReadBytes(dir.path() / "sig.der");
}

std::string OneLineBase64(const std::string& bytes) {
    return Base64(bytes);
}

std::string WrappedBase64(const std::string& bytes) {
    const std::string text = Base64(bytes);
    std::string out;
    for (std::size_t p = 0; p < text.size(); p += 64)
        out += text.substr(p, 64) + "\r\n";
    return out;
}

DemoServiceProcess::DemoServiceProcess(const std::vector<std::string>& args)
    : ServiceProcess(ServiceArguments(args), "listening on http://127.0.0.1:") {}

HttpReply HttpCall(unsigned short port, const std::string& method, const std::string& target,
                   const std::vector<std::pair<std::string, std::string>>& headers,
                   const std::string& body) {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    http::request<http::string_body> request(http::string_to_verb(method), target, 11);
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    for (const auto& [name, value] : headers)
        request.set(name, value);
    request.body() = body;
    if (!body.empty() || method == "POST")
        request.prepare_payload();
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(1ull << 30);
    if (method == "HEAD")
        parser.skip(true);
    http::read(stream, buffer, parser);
    HttpReply reply;
    reply.status = static_cast<int>(parser.get().result_int());
    for (const auto& field : parser.get()) {
        std::string name(field.name_string());
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        reply.headers[name] = std::string(field.value());
    }
    reply.body = parser.get().body();
    return reply;
}

std::string RawCall(unsigned short port, const std::string& bytes) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    asio::write(socket, asio::buffer(bytes));
    socket.shutdown(tcp::socket::shutdown_send);
    std::string answer;
    std::array<char, 4096> chunk{};
    boost::system::error_code ec;
    for (;;) {
        const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
        answer.append(chunk.data(), n);
        if (ec)
            break;
    }
    return answer;
}

std::string KorvaloUrlEncode(const std::string& utf8) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) && b < 0x80) {
            out += c;
        } else if (c == ' ') {
            out += '+';
        } else if (std::string_view("!$'()*-.@_").find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        }
    }
    return out;
}

std::string KorvaloUpload::boundary() const {
    // As Korvalo makes it: the MD5 of the milliseconds since midnight, in lower-case hex.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 86400000;
    const std::string text = std::to_string(ms);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

std::string KorvaloUpload::Body(const std::string& b) const {
    std::string body;
    for (const std::string& line : paramList) {
        const std::size_t eq = line.find('=');
        const std::string name = line.substr(0, eq);
        if (name == "crpt_message")
            continue;
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        body += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                KorvaloUrlEncode(value) + "\r\n";
    }
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"crpt_signature\"\r\n\r\n" +
            signature + "\r\n";
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"korvaloVersion\"\r\n\r\n" +
            KorvaloUrlEncode(version) + "\r\n";
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"crpt_file\"; filename=\"" +
            fileName + "\"\r\nContent-Type: application/x-macbinary\r\n\r\n";
    body += fileBytes;
    body += "\r\n--" + b + "--\r\n";
    return body;
}

HttpReply KorvaloUpload::PostTo(unsigned short port, const std::string& target) const {
    const std::string b = boundary();
    const std::string body = Body(b);
    std::vector<std::pair<std::string, std::string>> headers{
        {"User-Agent", "Mozilla/5.0 (X11; Linux x86_64) KorvaloTest"},
        {"Accept", "*/*"},
        {"Accept-Language", "ru-RU,ru;q=0.9,en;q=0.8"},
        {"Accept-Charset", "utf-8;q=0.7,*;q=0.3"},
    };
    if (!cookie.empty())
        headers.emplace_back("Cookie", cookie);
    headers.emplace_back("Connection", "Keep-Alive");
    headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + b);
    return HttpCall(port, "POST", target, headers, body);
}

std::string KorvaloBatchAnswer(const std::vector<std::pair<std::string, std::string>>& members,
                               const std::vector<BatchEntry>& files) {
    const auto quote = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '"')
                out += '\\';
            out += c;
        }
        return out + "\"";
    };
    std::string text = "{";
    for (const auto& [name, value] : members)
        text += quote(name) + ":" + quote(value) + ",";
    text += "\"files\":[";
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i > 0)
            text += ",";
        text += "{\"id\":" + quote(files[i].id) + ",\"signature\":" + quote(files[i].signature) +
                ",\"error\":" + quote(files[i].error) + "}";
    }
    return text + "]}";
}

nlohmann::json NewRequest(unsigned short port, const std::string& query,
                          const std::string& message) {
    const HttpReply reply = HttpCall(port, "POST", "/new?" + query,
                                     {{"Content-Type", "text/plain; charset=utf-8"}}, message);
    if (reply.status != 200)
        throw std::runtime_error("/new answered " + std::to_string(reply.status) + ": " +
                                 reply.body);
    return nlohmann::json::parse(reply.body);
}

nlohmann::json Results(unsigned short port, const std::string& req) {
    const HttpReply reply = HttpCall(port, "GET", "/results.json?req=" + req);
    if (reply.status != 200)
        throw std::runtime_error("/results.json answered " + std::to_string(reply.status));
    return nlohmann::json::parse(reply.body);
}

}  // namespace korvalo::demotest
