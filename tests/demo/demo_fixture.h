#pragma once
// Test fixtures of the demo service: a certificate authority with personal certificates made by
// the openssl command, the running korvalo-demo-service process, a small HTTP client, and
// uploads built the way Korvalo builds them.

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/card_service_process.h"
#include "support/files.h"
#include "support/processes.h"

namespace korvalo::demotest {

using testing::TempDir;

// A demo CA (EC P-256, C=BY), a personal RSA-2048 certificate it issued with a Cyrillic
// subject (CN, SN, GN, O, OU) and the serial 8A0B0C0D01, a card certificate it issued, and a
// self-signed certificate of a stranger. Made once with the openssl command.
class Pki {
public:
    Pki();
    const std::filesystem::path& dir() const { return FDir.path(); }
    std::filesystem::path caCert() const { return dir() / "ca.pem"; }
    std::filesystem::path userCert() const { return dir() / "user.pem"; }
    std::filesystem::path userKey() const { return dir() / "user.key"; }
    std::filesystem::path cardCert() const { return dir() / "card.pem"; }
    std::filesystem::path cardKey() const { return dir() / "card.key"; }
    std::filesystem::path strangerCert() const { return dir() / "stranger.pem"; }
    std::filesystem::path strangerKey() const { return dir() / "stranger.key"; }

private:
    TempDir FDir;
};

// Runs the openssl command; throws with its output when it fails.
void OpenSsl(const std::vector<std::string>& args);

// A detached CMS signature (DER) of content made by `openssl cms -sign`.
std::string SignDetached(const std::string& content, const std::filesystem::path& cert,
                         const std::filesystem::path& key, const std::string& digest = "sha256");

// Base64 in lines of 64 characters, each ended by CR LF, as Korvalo sends signatures.
std::string WrappedBase64(const std::string& bytes);
std::string OneLineBase64(const std::string& bytes);

// korvalo-demo-service on a free port (--port 0 is added); stopped by the destructor.
class DemoServiceProcess : public testing::ServiceProcess {
public:
    explicit DemoServiceProcess(const std::vector<std::string>& args);
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port()); }
};

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One HTTP/1.1 request to 127.0.0.1:port over a fresh connection.
HttpReply HttpCall(unsigned short port, const std::string& method, const std::string& target,
                   const std::vector<std::pair<std::string, std::string>>& headers = {},
                   const std::string& body = {});
// Sends raw bytes and returns what comes back until the server closes the connection.
std::string RawCall(unsigned short port, const std::string& bytes);

// Korvalo's URL encoding of echoed values.
std::string KorvaloUrlEncode(const std::string& utf8);

// An upload as Korvalo posts it: the echoed parameters (name=value lines, crpt_message left
// out), crpt_signature, korvaloVersion, crpt_file.
struct KorvaloUpload {
    std::vector<std::string> paramList;
    std::string signature;
    std::string version = "1.0.0.0";
    std::string fileName = "2024312_101010.htm";
    std::string fileBytes;
    std::string cookie;  // the Cookie header; none when empty

    std::string boundary() const;
    std::string Body(const std::string& boundary) const;
    // Posts it to target (path and query) and returns the reply.
    HttpReply PostTo(unsigned short port, const std::string& target) const;
};

// The batch answer as Korvalo serialises it: only the double quote escaped.
struct BatchEntry {
    std::string id, signature, error;
};
std::string KorvaloBatchAnswer(const std::vector<std::pair<std::string, std::string>>& members,
                               const std::vector<BatchEntry>& files);

// GET /new?... and the parsed answer.
nlohmann::json NewRequest(unsigned short port, const std::string& query,
                          const std::string& message = {});
nlohmann::json Results(unsigned short port, const std::string& req);

}  // namespace korvalo::demotest
