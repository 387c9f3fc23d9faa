#pragma once
// Test fixtures around the card-service stand-in: a temporary folder, a card certificate made
// by the openssl command, the running korvalo-card-service process and its request log.

#include <sys/types.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace korvalo::cardtest {

// A fresh folder under the system temporary folder, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

// Runs a program found on PATH without a shell and returns its exit status (-1 when it did not
// end normally); its standard output and error go to *output when given.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

// A self-signed EC certificate and its key (PEM, no password), made by the openssl command.
class CardCredentials {
public:
    CardCredentials();
    std::filesystem::path cert() const { return FDir.path() / "card-cert.pem"; }
    std::filesystem::path key() const { return FDir.path() / "card-key.pem"; }

private:
    TempDir FDir;
};

// The built korvalo-card-service; $KORVALO_CARD_SERVICE overrides it.
std::string CardServiceExecutable();

// korvalo-card-service running on a free port of 127.0.0.1 with the given options (--port 0
// is added). The constructor returns once the service listens; the destructor stops it.
class CardServiceProcess {
public:
    explicit CardServiceProcess(const std::vector<std::string>& args);
    ~CardServiceProcess();
    CardServiceProcess(const CardServiceProcess&) = delete;
    CardServiceProcess& operator=(const CardServiceProcess&) = delete;
    unsigned short port() const { return FPort; }

private:
    void Stop();

    pid_t FPid = -1;
    int FOutput = -1;  // read end of the service's standard output
    unsigned short FPort = 0;
};

// The lines of a log written by korvalo-card-service --log FILE, one object per request.
std::vector<nlohmann::json> ReadServiceLog(const std::filesystem::path& file);

// Whether `openssl cms -verify` accepts the DER signature over the content (the signer's
// certificate is not checked against a trust store). Details go to *output when given.
bool VerifyDetachedCms(const std::string& der, const std::filesystem::path& content,
                       std::string* output = nullptr);

// A port of 127.0.0.1 on which nothing listens at the moment of the call.
unsigned short UnusedPort();

}  // namespace korvalo::cardtest
