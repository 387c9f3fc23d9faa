#include "batch_answer.h"

namespace korvalo::demo {

std::string BatchAnswerToJson(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto b = static_cast<unsigned char>(c);
        if (!inString) {
            out += c;
            if (c == '"')
                inString = true;
            continue;
        }
        if (c == '"') {
            out += c;
            inString = false;
        } else if (c == '\\') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                out += "\\\"";
                ++i;
            } else {
                out += "\\\\";
            }
        } else if (b < 0x20) {
            out += "\\u00";
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

std::string StringMember(const nlohmann::ordered_json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end())
        return {};
    if (!it->is_string())
        throw BatchAnswerError(std::string("the member \"") + name + "\" is not a string");
    return it->get<std::string>();
}

}  // namespace

BatchAnswer ParseBatchAnswer(std::string_view text) {
    nlohmann::ordered_json document;
    try {
        document = nlohmann::ordered_json::parse(BatchAnswerToJson(text));
    } catch (const nlohmann::json::exception& e) {
        throw BatchAnswerError(std::string("the batch answer is not readable JSON: ") + e.what());
    }
    if (!document.is_object())
        throw BatchAnswerError("the batch answer is not a JSON object");
    BatchAnswer answer;
    answer.members = nlohmann::ordered_json::object();
    bool sawFiles = false;
    for (const auto& [name, value] : document.items()) {
        if (name != "files") {
            answer.members[name] = value;
            continue;
        }
        if (!value.is_array())
            throw BatchAnswerError("the member \"files\" is not an array");
        sawFiles = true;
        answer.files.clear();
        for (const auto& entry : value) {
            if (!entry.is_object())
                throw BatchAnswerError("an element of \"files\" is not an object");
            if (!entry.contains("id"))
                throw BatchAnswerError("an element of \"files\" has no \"id\"");
            answer.files.push_back({StringMember(entry, "id"), StringMember(entry, "signature"),
                                    StringMember(entry, "error")});
        }
    }
    if (!sawFiles)
        throw BatchAnswerError("the batch answer has no \"files\" member");
    return answer;
}

}  // namespace korvalo::demo
