#pragma once
// The Avest signer as TSign calls it (IAvestSigner), made of one TAvSign per call.

#include "core/log_sink.h"
#include "services/engines/criptsign.h"

namespace korvalo {

// Runs TAvSign for TSign: SignBuffer for single mode, SignJobs for batch mode. The log and
// the debug flag are those of the request; the certificate itself is named to the library by
// its serial text only.
class AvestSigner : public IAvestSigner {
public:
    AvestSigner(ILogSink& log, bool debug) : log_(log), debug_(debug) {}

    [[nodiscard]] bool SignBuffer(const StoreCertificate& cert, const std::string& serialText,
                                  std::string_view data, std::string& signature,
                                  std::string& message) override;
    [[nodiscard]] bool SignJobs(const StoreCertificate& cert, const std::string& serialText,
                                TJobList& jobs, std::string& message) override;

private:
    ILogSink& log_;
    bool debug_;
};

}  // namespace korvalo
