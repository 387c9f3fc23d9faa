#pragma once
// TSign, the system-store signature engine: signs a file (single mode) or every job of a job
// list (batch mode) with a certificate of the personal store "MY", as a detached CMS
// signature in base64, or through the Avest signer when avCrypt is on.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/content_fingerprint.h"
#include "core/log_sink.h"
#include "core/record_sign.h"
#include "core/signing_progress.h"
#include "core/steady_file.h"
#include "core/user_interface.h"
#include "platform/crypto/cert_store.h"

namespace korvalo {

// The Avest message signer as TSign calls it: TAvSign implements it, or an adapter wraps it.
// serialText is the certificate's serial-number text without grouping (SerialToHex(bytes,
// false)); cert is the certificate TSign found in the store.
class IAvestSigner {
public:
    virtual ~IAvestSigner() = default;
    // Signs one buffer. True: signature holds base64 in 64-character lines ended by CR LF.
    // False: message holds the failure text. A broken run throws std::exception whose text
    // begins "Ошибка подписи Avest. " (the signer has logged it).
    [[nodiscard]] virtual bool SignBuffer(const StoreCertificate& cert,
                                          const std::string& serialText, std::string_view data,
                                          std::string& signature, std::string& message) = 0;
    // Signs every job in list order into its sign field (never error). True when all were
    // signed (an empty list too); false with message set otherwise. Throws as SignBuffer.
    [[nodiscard]] virtual bool SignJobs(const StoreCertificate& cert, const std::string& serialText,
                                        TJobList& jobs, std::string& message) = 0;
};

// What a TSign needs besides its file or job list and the serial text.
struct TSignContext {
    ILogSink& log;           // activity log (PrintInfo)
    SigningOptions options;  // debug, avCrypt and hashAlgOID are read
    std::filesystem::path storeLocation = DefaultCertStoreLocation();  // the "MY" store
    IKeyPasswordPrompt* passwordPrompt = nullptr;  // asks for key passwords and token PINs
    IAvestSigner* avest = nullptr;                 // used when options.avCrypt is on
    ITokenCertificates* tokens = nullptr;          // the store's tokens (options.pkcs11Modules)
    // The signing time of each signature (UTC); empty: the time of the signature.
    std::function<std::chrono::system_clock::time_point()> clock;
};

// The hash algorithm TSign signs with: hashAlgOID when it is not empty; otherwise by the
// first two letters of the issuer's country (any case) and, for RU, the certificate's own
// signature algorithm: RU 1.2.643.7.1.1.3.2 -> 1.2.643.7.1.1.2.2, RU 1.2.643.7.1.1.3.3 ->
// 1.2.643.7.1.1.2.3, RU otherwise -> 1.2.643.2.2.9, BY -> 1.3.6.1.4.1.12656.1.42. Empty when
// the country is neither (the "Не определена страна издателя" case).
std::string ChooseHashAlgorithm(const std::string& hashAlgOID, const std::string& issuerCountry,
                                const std::string& certSignatureOid);

// One engine per signing attempt: construct, call Sign once, read Signature or message.
class TSign {
public:
    // Create(FN, SerialNum): single mode, signs the whole content of the file FN. The store
    // path reads the file in pieces into the digest, so a file of any size costs the same
    // memory; the Avest path reads it whole (at most kMaxAvestFileSize).
    TSign(const TSignContext& context, std::string FN, std::string SerialNum);
    // Create(ListSign, SerialNum, password): batch mode over ListSign (not owned; it must
    // outlive the engine); password is accepted and not used.
    TSign(const TSignContext& context, TJobList& ListSign, std::string SerialNum,
          const std::string& password);
    ~TSign();
    TSign(const TSign&) = delete;
    TSign& operator=(const TSign&) = delete;

    // Looks the certificate up by its serial text (exact match, first in store order) and
    // signs. Single mode: true leaves the signature in Signature(). Batch mode: results go
    // into the job records; true when every job was signed. False: message() says why
    // (empty when the user cancelled a key password prompt, or for an empty job list).
    // Never throws.
    [[nodiscard]] bool Sign();

    const std::string& FileName() const noexcept { return FFName; }
    const std::string& Signature() const noexcept { return FSignature; }
    const std::string& message() const noexcept { return FMessage; }

    // The serial-number text of the stored serial bytes (least significant first).
    static std::string SerialToHex(std::string_view serialBytes, bool grouping);

    // How far the running Sign has got: documents signed of the job list, or bytes of the file
    // read. Safe to read from another thread while Sign runs.
    const SigningProgress& Progress() const noexcept { return FProgress; }
    // Single mode, after Sign returned true: the length and fingerprint of the bytes signed,
    // so that the file can be told unchanged when it is read again (the upload).
    const std::optional<ContentFingerprint>& SignedContent() const noexcept {
        return FSignedContent;
    }

    // The largest file the Avest path signs (the library takes the whole content at once);
    // larger files fail before anything is read.
    static constexpr std::uint64_t kMaxAvestFileSize = std::uint64_t{1} << 30;
    // The piece of a file read into the digest at a time.
    static constexpr std::size_t kReadChunk = std::size_t{1} << 20;

private:
    // Makes the digest of the content to sign with md into digest; returns the failure text,
    // empty on success.
    using ContentDigester = std::function<std::string(const EVP_MD* md, std::string& digest)>;

    [[nodiscard]] bool SignList(const StoreCertificate& cert);
    [[nodiscard]] bool SignFile(const StoreCertificate& cert);
    [[nodiscard]] bool SignFileWhole(const StoreCertificate& cert);
    [[nodiscard]] bool SignStream(const StoreCertificate& cert, std::string_view data);
    [[nodiscard]] bool SignStreamCms(const StoreCertificate& cert, const std::string& country,
                                     const ContentDigester& digestContent);
    // Reads the whole file into the digest (and the fingerprint), reporting progress.
    std::string DigestFile(SteadyFileReader& reader, const EVP_MD* md, std::string& digest,
                           ContentFingerprint& fingerprint);
    // The issuer's country of cert as 8-bit text, logged in debug mode.
    std::string IssuerCountry(const StoreCertificate& cert);
    void Fail(const std::string& text);
    void Log(const std::string& text) const { FContext.log.PrintInfo(text); }

    std::string FFName;
    std::string FSignature;
    std::string FMessage;
    std::string FSerialNum;
    TJobList* FListSign = nullptr;

    TSignContext FContext;
    // The key of one Sign call, opened at first use and closed when the call ends (a token is
    // logged in for all the jobs of a batch), and the digest it has accepted.
    std::unique_ptr<ISigningKey> FKey;
    const EVP_MD* FKeyCheckedMd = nullptr;
    SigningProgress FProgress;
    std::optional<ContentFingerprint> FSignedContent;
};

}  // namespace korvalo
