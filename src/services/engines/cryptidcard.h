#pragma once
// The ID-card signer: has the local card service make a detached CMS signature of a file or
// of every job of a batch.

#include <cstdint>
#include <string>
#include <utility>

#include "core/record_sign.h"
#include "core/services.h"

namespace korvalo {

// Where the card service listens. The defaults are the card middleware's fixed address.
struct CardServiceOptions {
    std::string host = "127.0.0.1";
    unsigned short port = 8084;
    // Only the connection set-up is bounded: once connected, the exchange may wait as long as
    // the service needs (it may be waiting for the user's PIN).
    long connectTimeoutMs = 5000;

    // The defaults, with the port taken from $KORVALO_CARD_SERVICE_PORT when that holds a port
    // number (how end-to-end tests point Korvalo at a stand-in on a free port).
    static CardServiceOptions FromEnvironment();
};

// One object per signing attempt. Single mode signs the file FileName() (SignFile); batch mode
// signs every job of a list it does not own (SignMultipleFile). After a call, Signature() holds
// the service's signature text of the last successful exchange and message() the text of the
// last failure.
class TSignIdCard {
public:
    explicit TSignIdCard(std::string FN, CardServiceOptions options = {});
    explicit TSignIdCard(TJobList& ListSign, CardServiceOptions options = {});

    // The largest file or job the card service is sent: its Base64 text in the JSON request
    // stays well within what the service reads at once.
    static constexpr std::uint64_t kMaxFileSize = std::uint64_t{128} << 20;

    // Signs the whole file. Returns true when Signature() holds its signature; on false
    // message() says why. A file larger than kMaxFileSize is refused before any of it is read
    // or sent ("Размер файла (n) превышает допустимый (134217728)."). Throws
    // std::runtime_error when the file cannot be read.
    [[nodiscard]] bool SignFile();

    // Signs every job in order, writing sign or error of each (a job larger than kMaxFileSize
    // gets the size refusal without being sent). Returns 1 when the last job was signed, 8
    // otherwise (also for an empty or absent list).
    [[nodiscard]] int SignMultipleFile();

    // The refusal of a file or job of size bytes.
    static std::string SizeRefusal(std::uint64_t size);

    const std::string& FileName() const { return FFName; }
    const std::string& Signature() const { return FSignature; }
    const std::string& message() const { return FMessage; }

    // The user text for an error code the service returned with a status other than 200.
    // Throws std::invalid_argument (with a user text) when code is not a decimal integer.
    static std::string CardErrorText(const std::string& code);

private:
    // One exchange with the service over the Base64 text data; sets FSignature or FMessage.
    [[nodiscard]] bool CallCardService(const std::string& data);

    std::string FFName;
    std::string FSignature;
    std::string FMessage;
    TJobList* FListSign = nullptr;
    CardServiceOptions FOptions;
};

// The dispatcher's ID-card batch signer: one TSignIdCard per call.
class TIdCardBatchSigner : public IIdCardBatchSigner {
public:
    explicit TIdCardBatchSigner(CardServiceOptions options = {}) : FOptions(std::move(options)) {}
    [[nodiscard]] int SignMultipleFile(TJobList& jobs) override;

private:
    CardServiceOptions FOptions;
};

}  // namespace korvalo
