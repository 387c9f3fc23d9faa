#pragma once
// TAvSign: signs a buffer or a job list through the AvCryptMail library, with the signer's
// attribute certificates inside the signed message.

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/log_sink.h"
#include "core/record_sign.h"

namespace korvalo {

// An exception raised inside an Avest run; its text begins "Ошибка подписи Avest. ".
class AvSignError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One object per signing attempt. Each call is one run of the library: AvCmInit(1), a
// connection to find the certificate by its serial text, a second connection bound to the
// certificate's key, its attribute certificates, the signing, and the end of the run
// (handles closed, connections logged out, AvCmInit(2)). The library is loaded on first use
// from the Avest folder (engines/avcryptmail.h).
//
// serialText is the certificate's serial number as SerialToHex makes it without grouping:
// upper-case hexadecimal, most significant byte first, no spaces.
//
// Library failures give false with messageAv() holding the library's text (AvErrorText) and
// one log line naming the failing call. Any exception inside a run (the library cannot be
// loaded, an entry point is missing...) is logged as "Ошибка подписи Avest. " + its text and
// raised again as AvSignError with that text.
class TAvSign {
public:
    // log receives the lines of the run; debug adds the debug-only lines.
    TAvSign(ILogSink& log, bool debug);

    // Text of the last failure; empty until one happens.
    const std::string& messageAv() const { return FMessage; }

    // Signs every job's pData in list order within one run, writing each job's sign (base64 in
    // lines of 64 characters ended by CR LF). True when every job was signed (an empty list
    // gives true); false at the first failure, later jobs left untouched. Never writes a
    // job's error.
    [[nodiscard]] bool Sign(const std::string& serialText, TJobList& ListSign);

    // Signs one buffer within one run (the single-mode path of TSign.SignStream). True with
    // the base64 text (lines of 64 characters ended by CR LF) in signature; false with
    // messageAv() set.
    [[nodiscard]] bool SignBuffer(const std::string& serialText, std::string_view data,
                                  std::string& signature);

private:
    ILogSink& log_;
    bool debug_;
    std::string FMessage;
};

}  // namespace korvalo
