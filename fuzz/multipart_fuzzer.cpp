// The upload's multipart body: the echoed parameters, the signature, the version and the file
// part around the file's bytes, the header list and the protocol record.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/content_fingerprint.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "platform/net/http_challenge.h"
#include "services/delivery/upload.h"
#include "services/delivery/upload_body.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvalo;
    FuzzedDataProvider input(data, size);
    std::vector<std::string> paramList;
    const std::size_t params = input.ConsumeIntegralInRange<std::size_t>(0, 8);
    for (std::size_t i = 0; i < params; ++i)
        paramList.push_back(FromLatin1(input.ConsumeRandomLengthString(64)));
    const bool paramsAreText = input.ConsumeBool();
    const std::string signature = DecodeUtf8(input.ConsumeRandomLengthString(128));
    const std::string url = DecodeUtf8(input.ConsumeRandomLengthString(64));
    const std::string cookie = FromLatin1(input.ConsumeRandomLengthString(32));
    const std::string agent = FromLatin1(input.ConsumeRandomLengthString(32));
    const std::size_t piece = input.ConsumeIntegralInRange<std::size_t>(1, 70000);
    const std::string fileBytes = input.ConsumeRemainingBytesAsString();

    const UniqueFd file(::memfd_create("upload", MFD_CLOEXEC));
    Check(file.ok());
    Check(::write(file.get(), fileBytes.data(), fileBytes.size()) ==
          static_cast<ssize_t>(fileBytes.size()));
    const std::string fileName = "/proc/self/fd/" + std::to_string(file.get());

    const std::string boundary = UploadBoundary();
    const std::string head =
        BuildMultipartHead(paramList, paramsAreText, signature, "1.0.0.0", fileName, boundary);
    const std::string tail = MultipartTail(boundary);
    // The body as the client reads it, in pieces of the given size, twice (a repeated request
    // starts again from its first byte).
    MultipartFileBody body(head, fileName, tail, FingerprintOf(fileBytes));
    Check(body.Size() == head.size() + fileBytes.size() + tail.size());
    std::string all;
    for (int round = 0; round < 2; ++round) {
        all.clear();
        std::string buffer(piece, '\0');
        for (std::size_t n; (n = body.Read(buffer.data(), buffer.size())) > 0;)
            all.append(buffer, 0, n);
        body.Rewind();
        Check(all.size() == body.Size());
        Check(all.substr(0, head.size()) == head);
        Check(all.substr(head.size(), fileBytes.size()) == fileBytes);
        Check(all.substr(all.size() - tail.size()) == tail);
    }

    const HeaderList headers = UploadHeaders(agent, cookie, boundary);
    Check(headers.size() == (cookie.empty() ? 6u : 7u));
    (void)UploadRecord(url, headers, all.size(), head);
    (void)UrlHostAndPort(url);
    return 0;
}
