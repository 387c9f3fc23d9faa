#pragma once
// One batch job and the job list a batch request carries.

#include <string>
#include <vector>

namespace korvalo {

// One document of a batch: what to sign and, after an engine ran, its signature or error.
struct TRecordSign {
    std::string id;     // the job's identifier as the page sent it
    std::string pData;  // the bytes to sign
    std::string sign;   // Base64 signature, written by an engine
    std::string error;  // failure text, written by an engine
};

// Jobs in document order; owned by the request that parsed them.
using TJobList = std::vector<TRecordSign>;

}  // namespace korvalo
