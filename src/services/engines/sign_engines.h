#pragma once
// The choice of the signature engine for one signing attempt (the store engine, through the
// Avest signer when avCrypt is on, or the ID card), made by a factory that tests can replace.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/content_fingerprint.h"
#include "core/log_sink.h"
#include "core/record_sign.h"
#include "core/signing_progress.h"
#include "core/user_interface.h"
#include "platform/crypto/cert_store.h"
#include "services/engines/cryptidcard.h"

namespace korvalo {

class AvestSigner;

// One signing attempt. Sign() runs off the UI thread and may block (a card service waiting for
// a PIN, a key password prompt); afterwards Signature() or message() tells the outcome.
class ISignEngine {
public:
    virtual ~ISignEngine() = default;
    // True when signed. May throw; the dialog shows the exception's text as the failure.
    [[nodiscard]] virtual bool Sign() = 0;
    virtual std::string Signature() const = 0;
    virtual std::string message() const = 0;
    // How far Sign has got, readable from another thread while it runs; nullptr when the
    // engine cannot tell.
    virtual const SigningProgress* Progress() const { return nullptr; }
    // After a successful Sign over a file: what was signed (its length and fingerprint), so
    // that the upload can tell the file unchanged; nothing when the engine does not know.
    virtual std::optional<ContentFingerprint> SignedContent() const { return std::nullopt; }
};

// Makes the engine of each attempt.
class IEngineFactory {
public:
    virtual ~IEngineFactory() = default;
    // TSign over the whole content of the file, with the certificate of that serial text.
    virtual std::unique_ptr<ISignEngine> MakeFileSigner(const std::string& fileName,
                                                        const std::string& serialText) = 0;
    // TSignIdCard over the whole content of the file.
    virtual std::unique_ptr<ISignEngine> MakeIdCardSigner(const std::string& fileName) = 0;
    // TSign in batch mode over jobs (not owned), empty password.
    virtual std::unique_ptr<ISignEngine> MakeBatchSigner(TJobList& jobs,
                                                         const std::string& serialText) = 0;
};

// The engines of this build: TSign over the store at storeLocation and its tokens (through the
// Avest signer when avCrypt is on) and TSignIdCard through the card service.
class EngineFactory : public IEngineFactory {
public:
    EngineFactory(ILogSink& log, const SigningOptions& options, std::filesystem::path storeLocation,
                  ITokenCertificates* tokens, IKeyPasswordPrompt* passwordPrompt,
                  CardServiceOptions cardService);
    ~EngineFactory() override;

    std::unique_ptr<ISignEngine> MakeFileSigner(const std::string& fileName,
                                                const std::string& serialText) override;
    std::unique_ptr<ISignEngine> MakeIdCardSigner(const std::string& fileName) override;
    std::unique_ptr<ISignEngine> MakeBatchSigner(TJobList& jobs,
                                                 const std::string& serialText) override;

private:
    ILogSink& log_;
    SigningOptions options_;
    std::filesystem::path storeLocation_;
    ITokenCertificates* tokens_;
    IKeyPasswordPrompt* passwordPrompt_;
    CardServiceOptions cardService_;
    std::unique_ptr<AvestSigner> avest_;  // the Avest signer of this run's TSign objects
};

// What a signing run needs of Korvalo to make its engines.
struct SigningEnvironment {
    explicit SigningEnvironment(ILogSink& log) : log(&log) {}

    ILogSink* log;  // the activity log (PrintInfo); never null
    // The personal store ("MY").
    std::filesystem::path storeLocation = DefaultCertStoreLocation();
    // The tokens and smart cards listed after the folder; nullptr: none.
    ITokenCertificates* tokens = nullptr;
    // Asks for the password of a protected key or a token's PIN (the store engine's prompt).
    IKeyPasswordPrompt* passwordPrompt = nullptr;
    // Where the card service listens.
    CardServiceOptions cardService = CardServiceOptions::FromEnvironment();
    // Makes the engines of one dialog run; empty: EngineFactory over the fields above.
    std::function<std::unique_ptr<IEngineFactory>(const SigningOptions&)> engines;

    // The factory for one dialog run.
    std::unique_ptr<IEngineFactory> MakeEngines(const SigningOptions& options) const;
};

}  // namespace korvalo
