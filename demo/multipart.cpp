#include "multipart.h"

#include <cctype>

#include "web_text.h"

namespace korvalo::demo {

namespace {

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The parameters of a header value such as `form-data; name="a"; filename="b"`, after the
// first ";". Quoted values end at the next double quote (a backslash escapes one character).
struct HeaderParams {
    std::string first;
    std::vector<std::pair<std::string, std::string>> params;

    const std::string* Find(std::string_view name) const {
        for (const auto& [key, value] : params) {
            if (EqualsNoCase(key, name))
                return &value;
        }
        return nullptr;
    }
};

HeaderParams ParseHeaderParams(std::string_view value) {
    HeaderParams result;
    std::size_t i = value.find(';');
    result.first = std::string(TrimBlanks(value.substr(0, i)));
    while (i != std::string_view::npos && i < value.size()) {
        ++i;  // past ';'
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        const std::size_t eq = value.find('=', i);
        const std::size_t semi = value.find(';', i);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
            if (i < value.size())
                result.params.emplace_back(std::string(TrimBlanks(value.substr(i, semi - i))),
                                           std::string());
            i = semi;
            continue;
        }
        std::string name(TrimBlanks(value.substr(i, eq - i)));
        i = eq + 1;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        std::string text;
        if (i < value.size() && value[i] == '"') {
            ++i;
            bool closed = false;
            while (i < value.size()) {
                const char c = value[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < value.size() && value[i] == '"') {
                    text += value[i++];
                    continue;
                }
                text += c;
            }
            if (!closed)
                throw MultipartError("unterminated quoted value in a part header");
            i = value.find(';', i);
        } else {
            const std::size_t end = value.find(';', i);
            text = std::string(TrimBlanks(value.substr(i, end - i)));
            i = end;
        }
        result.params.emplace_back(std::move(name), std::move(text));
    }
    return result;
}

bool IsBoundaryChar(char c) {
    // RFC 2046 bchars, without the blank (a blank may not end it, and none needs one).
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("'()+_,-./:=?").find(c) != std::string_view::npos;
}

void ReadPartHeaders(std::string_view block, MultipartPart& part) {
    bool sawDisposition = false;
    std::size_t pos = 0;
    while (pos < block.size()) {
        std::size_t end = block.find("\r\n", pos);
        if (end == std::string_view::npos)
            end = block.size();
        const std::string_view line = block.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty())
            continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            throw MultipartError("a part header line without a colon");
        const std::string_view name = TrimBlanks(line.substr(0, colon));
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (EqualsNoCase(name, "Content-Disposition")) {
            const HeaderParams params = ParseHeaderParams(value);
            if (!EqualsNoCase(params.first, "form-data"))
                throw MultipartError("a part whose Content-Disposition is not form-data");
            const std::string* partName = params.Find("name");
            if (partName == nullptr)
                throw MultipartError("a part without a name");
            part.name = *partName;
            if (const std::string* file = params.Find("filename")) {
                part.fileName = *file;
                part.hasFileName = true;
            }
            sawDisposition = true;
        } else if (EqualsNoCase(name, "Content-Type")) {
            part.contentType = std::string(value);
        }
    }
    if (!sawDisposition)
        throw MultipartError("a part without Content-Disposition");
}

}  // namespace

std::string MultipartBoundary(std::string_view contentType) {
    const HeaderParams params = ParseHeaderParams(contentType);
    if (!EqualsNoCase(params.first, "multipart/form-data"))
        throw MultipartError("the Content-Type is not multipart/form-data");
    const std::string* boundary = params.Find("boundary");
    if (boundary == nullptr || boundary->empty())
        throw MultipartError("the Content-Type names no boundary");
    if (boundary->size() > 70)
        throw MultipartError("the boundary is longer than 70 characters");
    for (char c : *boundary) {
        if (!IsBoundaryChar(c) && c != ' ')
            throw MultipartError("the boundary has a character that a boundary may not have");
    }
    return *boundary;
}

std::vector<MultipartPart> ParseMultipart(std::string_view body, std::string_view boundary,
                                          const MultipartLimits& limits) {
    const std::string dashBoundary = "--" + std::string(boundary);
    const std::string delimiter = "\r\n" + dashBoundary;

    // The first boundary opens the body or follows a preamble and a line break.
    std::size_t pos;
    if (body.substr(0, dashBoundary.size()) == dashBoundary) {
        pos = dashBoundary.size();
    } else {
        const std::size_t found = body.find(delimiter);
        if (found == std::string_view::npos)
            throw MultipartError("the body does not contain the boundary");
        pos = found + delimiter.size();
    }

    std::vector<MultipartPart> parts;
    for (;;) {
        // After a boundary: "--" closes the body; otherwise blanks and a line break.
        if (body.substr(pos, 2) == "--")
            return parts;
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t'))
            ++pos;
        if (body.substr(pos, 2) != "\r\n")
            throw MultipartError("a boundary line is not followed by a line break");
        pos += 2;

        if (parts.size() == limits.maxParts)
            throw MultipartError("the body has more than " + std::to_string(limits.maxParts) +
                                 " parts");
        const std::size_t headerEnd = body.find("\r\n\r\n", pos);
        const bool noHeaders = body.substr(pos, 2) == "\r\n";
        if (!noHeaders && headerEnd == std::string_view::npos)
            throw MultipartError("a part's headers do not end with an empty line");
        const std::size_t headerLength = noHeaders ? 0 : headerEnd - pos;
        if (headerLength > limits.maxHeaderBytes)
            throw MultipartError("a part's headers are longer than " +
                                 std::to_string(limits.maxHeaderBytes) + " bytes");
        MultipartPart part;
        ReadPartHeaders(body.substr(pos, headerLength), part);
        pos += noHeaders ? 2 : headerLength + 4;

        const std::size_t next = body.find(delimiter, pos);
        if (next == std::string_view::npos)
            throw MultipartError("the body ends without the closing boundary");
        part.content = std::string(body.substr(pos, next - pos));
        parts.push_back(std::move(part));
        pos = next + delimiter.size();
    }
}

}  // namespace korvalo::demo
