#pragma once
// Test fixtures around the card-service stand-in: a card certificate made by the openssl
// command and the running korvalo-card-service process (its request log is read with
// support/json_lines.h).

#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/json_lines.h"
#include "support/processes.h"

namespace korvalo::cardtest {

// A self-signed EC certificate and its key (PEM, no password), made by the openssl command.
class CardCredentials {
public:
    CardCredentials();
    std::filesystem::path cert() const { return FDir.path() / "card-cert.pem"; }
    std::filesystem::path key() const { return FDir.path() / "card-key.pem"; }

private:
    testing::TempDir FDir;
};

// The built korvalo-card-service; $KORVALO_CARD_SERVICE overrides it.
std::string CardServiceExecutable();

// korvalo-card-service running on a free port of 127.0.0.1 with the given options (--port 0
// is added). The constructor returns once the service listens; the destructor stops it.
class CardServiceProcess : public testing::StandInServer {
public:
    explicit CardServiceProcess(const std::vector<std::string>& args);
};

// Whether `openssl cms -verify` accepts the DER signature over the content (the signer's
// certificate is not checked against a trust store). Details go to *output when given.
bool VerifyDetachedCms(const std::string& der, const std::filesystem::path& content,
                       std::string* output = nullptr);

}  // namespace korvalo::cardtest
