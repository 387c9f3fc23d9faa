// The batch document of a JSON request (read one character per byte, as the dispatcher reads
// the body), and the batch answer built from what it yields.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/text.h"
#include "services/endpoint/job_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    korvalo::RequestFields fields;
    std::optional<korvalo::TJobDocument> document;
    try {
        document = korvalo::ParseJobDocument(korvalo::FromBytesAsciiOnly(body), fields);
    } catch (const korvalo::JobDocumentError&) {
        return 0;
    }
    if (!document || !document->jobs)
        return 0;
    for (korvalo::TRecordSign& job : *document->jobs) {
        job.sign = job.id;
        job.error = korvalo::FromLatin1(job.pData);
    }
    const std::string answer = korvalo::BatchAnswerJson(fields, *document->jobs);
    (void)answer;
    return 0;
}
