#include "services/engines/sign_engines.h"

#include "services/engines/avest_signer.h"
#include "services/engines/criptsign.h"

namespace korvalo {

namespace {

// TSign behind ISignEngine.
class StoreEngine : public ISignEngine {
public:
    template <typename... Args>
    explicit StoreEngine(Args&&... args) : sign_(std::forward<Args>(args)...) {}
    [[nodiscard]] bool Sign() override { return sign_.Sign(); }
    std::string Signature() const override { return sign_.Signature(); }
    std::string message() const override { return sign_.message(); }
    const SigningProgress* Progress() const override { return &sign_.Progress(); }
    std::optional<ContentFingerprint> SignedContent() const override {
        return sign_.SignedContent();
    }

private:
    TSign sign_;
};

// TSignIdCard behind ISignEngine (single mode).
class IdCardEngine : public ISignEngine {
public:
    IdCardEngine(std::string fileName, CardServiceOptions options)
        : sign_(std::move(fileName), std::move(options)) {}
    // SignFile throws when the file cannot be read; the dialog shows that text.
    [[nodiscard]] bool Sign() override { return sign_.SignFile(); }
    std::string Signature() const override { return sign_.Signature(); }
    std::string message() const override { return sign_.message(); }

private:
    TSignIdCard sign_;
};

}  // namespace

EngineFactory::EngineFactory(ILogSink& log, const SigningOptions& options,
                             std::filesystem::path storeLocation, ITokenCertificates* tokens,
                             IKeyPasswordPrompt* passwordPrompt, CardServiceOptions cardService)
    : log_(log),
      options_(options),
      storeLocation_(std::move(storeLocation)),
      tokens_(tokens),
      passwordPrompt_(passwordPrompt),
      cardService_(std::move(cardService)),
      avest_(std::make_unique<AvestSigner>(log, options.debug)) {}

EngineFactory::~EngineFactory() = default;

std::unique_ptr<ISignEngine> EngineFactory::MakeFileSigner(const std::string& fileName,
                                                           const std::string& serialText) {
    const TSignContext context{log_,    options_, storeLocation_, passwordPrompt_, avest_.get(),
                               tokens_, {}};
    return std::make_unique<StoreEngine>(context, fileName, serialText);
}

std::unique_ptr<ISignEngine> EngineFactory::MakeIdCardSigner(const std::string& fileName) {
    return std::make_unique<IdCardEngine>(fileName, cardService_);
}

std::unique_ptr<ISignEngine> EngineFactory::MakeBatchSigner(TJobList& jobs,
                                                            const std::string& serialText) {
    const TSignContext context{log_,    options_, storeLocation_, passwordPrompt_, avest_.get(),
                               tokens_, {}};
    return std::make_unique<StoreEngine>(context, jobs, serialText, std::string());
}

std::unique_ptr<IEngineFactory> SigningEnvironment::MakeEngines(
    const SigningOptions& options) const {
    if (engines)
        return engines(options);
    return std::make_unique<EngineFactory>(*log, options, storeLocation, tokens, passwordPrompt,
                                           cardService);
}

}  // namespace korvalo
