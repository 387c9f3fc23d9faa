#pragma once
// Test controls of the stand-in AvCryptMail: the call trace file and injected failures.
//
// AVCRYPTMAIL_TRACE=<path>: every call appends one line to that file.
// AVCRYPTMAIL_FAIL=<CallName>:<code>[:<nth>][,<CallName>:<code>[:<nth>]...]: the nth call of
// CallName (counted from the last AvCmInit(1); every call when nth is left out) returns code
// (decimal, or hexadecimal with 0x) without doing anything.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "services/engines/avcryptmail_api.h"

namespace korvalo::avcm {

class CallControl {
public:
    // Starts counting calls afresh (a new run begins).
    void Restart();

    // Counts one call of name; returns the code to fail it with, if a rule says so.
    std::optional<AvCmResult> Count(std::string_view name);

    // Appends line (and a line end) to the trace file when tracing is on.
    void Trace(const std::string& line) const;

private:
    struct Rule {
        std::string call;
        AvCmResult code = 0;
        unsigned nth = 0;  // 0: every call
    };
    void Refresh();

    std::string ruleText_;
    std::vector<Rule> rules_;
    std::map<std::string, unsigned, std::less<>> counts_;
};

}  // namespace korvalo::avcm
