#include "services/engines/avest_signer.h"

#include "services/engines/avsign.h"

namespace korvalo {

bool AvestSigner::SignBuffer(const StoreCertificate&, const std::string& serialText,
                             std::string_view data, std::string& signature, std::string& message) {
    TAvSign avSign(log_, debug_);
    const bool signedOk = avSign.SignBuffer(serialText, data, signature);
    message = avSign.messageAv();
    return signedOk;
}

bool AvestSigner::SignJobs(const StoreCertificate&, const std::string& serialText, TJobList& jobs,
                           std::string& message) {
    TAvSign avSign(log_, debug_);
    const bool signedOk = avSign.Sign(serialText, jobs);
    message = avSign.messageAv();
    return signedOk;
}

}  // namespace korvalo
