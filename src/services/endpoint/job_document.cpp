#include "services/endpoint/job_document.h"

#include <boost/json/basic_parser_impl.hpp>

#include <charconv>
#include <cstdint>

#include "core/base64.h"
#include "core/text.h"

namespace korvalo {

namespace {

namespace json = boost::json;

// A JSON value as the document rules read it: objects keep every member in order, duplicates
// included; scalars keep their value text (a number as written).
struct JsonNode {
    enum class Kind { Scalar, String, Object, Array };
    Kind kind = Kind::Scalar;
    std::string text;                // value text of a scalar or string
    std::vector<std::string> names;  // object member names
    std::vector<JsonNode> values;    // object member values or array elements

    // Value text: empty for an object or an array.
    const std::string& ValueText() const { return text; }
    // The first member named name, or nullptr.
    const JsonNode* Find(std::string_view name) const {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name)
                return &values[i];
        }
        return nullptr;
    }
};

// Builds a JsonNode tree from the events of Boost.JSON's parser, which hands over every
// number with the text it was written as. The parser itself limits the nesting depth.
class TreeBuilder {
public:
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);

    JsonNode root;

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_object_begin(json::error_code&) { return Open(JsonNode::Kind::Object); }
    bool on_object_end(std::size_t, json::error_code&) { return Close(); }
    bool on_array_begin(json::error_code&) { return Open(JsonNode::Kind::Array); }
    bool on_array_end(std::size_t, json::error_code&) { return Close(); }
    bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
        key_.append(part.data(), part.size());
        return true;
    }
    bool on_key(json::string_view part, std::size_t, json::error_code&) {
        key_.append(part.data(), part.size());
        return true;
    }
    bool on_string_part(json::string_view part, std::size_t, json::error_code&) {
        text_.append(part.data(), part.size());
        return true;
    }
    bool on_string(json::string_view part, std::size_t, json::error_code&) {
        text_.append(part.data(), part.size());
        return Add(JsonNode::Kind::String);
    }
    bool on_number_part(json::string_view part, json::error_code&) {
        text_.append(part.data(), part.size());
        return true;
    }
    bool on_int64(std::int64_t, json::string_view part, json::error_code&) {
        return AddNumber(part);
    }
    bool on_uint64(std::uint64_t, json::string_view part, json::error_code&) {
        return AddNumber(part);
    }
    bool on_double(double, json::string_view part, json::error_code&) { return AddNumber(part); }
    bool on_bool(bool value, json::error_code&) {
        text_ = value ? "true" : "false";
        return Add(JsonNode::Kind::Scalar);
    }
    bool on_null(json::error_code&) {
        text_ = "null";
        return Add(JsonNode::Kind::Scalar);
    }
    bool on_comment_part(json::string_view, json::error_code&) { return false; }
    bool on_comment(json::string_view, json::error_code&) { return false; }

private:
    bool AddNumber(json::string_view part) {
        text_.append(part.data(), part.size());
        return Add(JsonNode::Kind::Scalar);
    }

    // Appends node to the open container (or makes it the root) and returns where it lives.
    JsonNode* Place(JsonNode node) {
        if (open_.empty()) {
            root = std::move(node);
            return &root;
        }
        JsonNode& parent = *open_.back();
        if (parent.kind == JsonNode::Kind::Object) {
            parent.names.push_back(std::move(key_));
            key_.clear();
        }
        parent.values.push_back(std::move(node));
        return &parent.values.back();
    }

    // A scalar or string with the text gathered so far.
    bool Add(JsonNode::Kind kind) {
        JsonNode node;
        node.kind = kind;
        node.text = std::move(text_);
        text_.clear();
        Place(std::move(node));
        return true;
    }

    bool Open(JsonNode::Kind kind) {
        JsonNode node;
        node.kind = kind;
        // A container's own vector only grows while it is the innermost open one, so the
        // pointers kept here stay valid.
        open_.push_back(Place(std::move(node)));
        return true;
    }

    bool Close() {
        open_.pop_back();
        return true;
    }

    std::vector<JsonNode*> open_;
    std::string key_;
    std::string text_;
};

bool IsHex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size())
        return false;
    for (std::size_t k = at; k < at + 4; ++k) {
        const char c = text[k];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// The code of the escape "\uXXXX" at text[at], or -1 when there is none.
long EscapeAt(std::string_view text, std::size_t at) {
    if (at + 1 >= text.size() || text[at] != '\\' || text[at + 1] != 'u' || !IsHex4(text, at + 2))
        return -1;
    long code = 0;
    std::from_chars(text.data() + at + 2, text.data() + at + 6, code, 16);
    return code;
}

// text with every escape of a lone UTF-16 surrogate (a high one not followed by the escape of
// a low one, or a low one on its own), as a page's JSON.stringify writes for a broken string,
// replaced by the escape of U+FFFD; nothing when text holds none. Surrogate pairs and all
// other text stay as they are.
std::optional<std::string> ReplaceLoneSurrogateEscapes(std::string_view text) {
    std::optional<std::string> out;
    std::size_t copied = 0;  // text before this is in out already
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '\\') {
            ++i;
            continue;
        }
        const long code = EscapeAt(text, i);
        if (code < 0) {
            // Another escape (or a backslash at the end): skipped with the character it
            // escapes, so that an escaped backslash is never read as the start of an escape.
            i += 2;
            continue;
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            const long low = EscapeAt(text, i + 6);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                i += 12;
                continue;
            }
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            if (!out)
                out.emplace().reserve(text.size());
            out->append(text.substr(copied, i - copied));
            out->append("\\ufffd");
            copied = i + 6;
        }
        i += 6;
    }
    if (out)
        out->append(text.substr(copied));
    return out;
}

std::optional<JsonNode> ParseJson(std::string_view text) {
    const std::optional<std::string> replaced = ReplaceLoneSurrogateEscapes(text);
    const std::string_view prepared = replaced ? std::string_view(*replaced) : text;
    json::parse_options options;
    options.max_depth = kMaxJsonDepth;
    json::basic_parser<TreeBuilder> parser(options);
    json::error_code ec;
    const std::size_t used = parser.write_some(false, prepared.data(), prepared.size(), ec);
    if (ec || used != prepared.size())
        return std::nullopt;
    return std::move(parser.handler().root);
}

std::int32_t IntegerOr(const std::string& text, std::int32_t fallback) {
    std::int32_t value = 0;
    return ParseInteger(text, value, /*allowHexPrefix0x=*/false) ? value : fallback;
}

// Stores a member's value text in the field its name selects; other names change nothing.
void StoreField(const std::string& name, const std::string& value, RequestFields& fields) {
    if (name == "urlToAnswer")
        fields.urlToAnswer = DecodeUtf8Bytes(value);
    else if (name == "urlToRedirect")
        fields.urlToRedirect = DecodeUtf8Bytes(value);
    else if (name == "crpt_cookie")
        fields.crpt_cookie = DecodeUtf8Bytes(value);
    else if (name == "beanName")
        fields.beanName = ThroughCp1251(DecodeUtf8Bytes(value));
    else if (name == "beanMethod")
        fields.beanMethod = ThroughCp1251(DecodeUtf8Bytes(value));
    else if (name == "maxFileUpload")
        fields.maxFileUpload = IntegerOr(value, 20000000);
    else if (name == "certificateNum")
        fields.certificateNum = DecodeUtf8Bytes(value);
    else if (name == "idUser")
        fields.idUser = ThroughCp1251(DecodeUtf8Bytes(value));
    else if (name == "useIdCard")
        fields.useIdCard = IntegerOr(DecodeUtf8Bytes(value), 0);
}

void AppendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

void AppendMember(std::string& out, std::string_view name, std::string_view value) {
    AppendQuoted(out, name);
    out.push_back(':');
    AppendQuoted(out, value);
}

}  // namespace

std::optional<TJobDocument> ParseJobDocument(std::string_view text, RequestFields& fields) {
    std::optional<JsonNode> root = ParseJson(text);
    if (!root || root->kind != JsonNode::Kind::Object)
        return std::nullopt;

    // Where to upload, with which cookie, whether to sign with the ID card: this document's
    // own, as a form request's are its own.
    const RequestFields startUp;
    fields.urlToAnswer = startUp.urlToAnswer;
    fields.urlToRedirect = startUp.urlToRedirect;
    fields.crpt_cookie = startUp.crpt_cookie;
    fields.beanName = startUp.beanName;
    fields.beanMethod = startUp.beanMethod;
    fields.maxFileUpload = startUp.maxFileUpload;
    fields.certificateNum = startUp.certificateNum;
    fields.idUser = startUp.idUser;
    fields.useIdCard = startUp.useIdCard;

    TJobDocument document;
    std::optional<TJobList> current;
    for (std::size_t i = 0; i < root->names.size(); ++i) {
        const std::string& name = root->names[i];
        const JsonNode& value = root->values[i];
        StoreField(name, value.ValueText(), fields);
        if (name == "files") {
            if (value.kind != JsonNode::Kind::Array)
                return std::nullopt;
            TJobList jobs;
            for (const JsonNode& element : value.values) {
                if (element.kind != JsonNode::Kind::Object)
                    throw JobDocumentError("an element of \"files\" is not an object");
                const JsonNode* id = element.Find("id");
                const JsonNode* data = element.Find("data64");
                if (id == nullptr || data == nullptr)
                    continue;
                TRecordSign job;
                job.id = id->ValueText();
                job.pData = Base64Decode(data->ValueText());
                jobs.push_back(std::move(job));
            }
            current = std::move(jobs);
        } else {
            document.pairs.push_back(name + "=" + value.ValueText());
        }
    }
    document.jobs = root->names.empty() ? std::optional<TJobList>(TJobList{}) : std::move(current);
    return document;
}

std::string BatchAnswerJson(const RequestFields& fields, const TJobList& jobs) {
    std::string out = "{";
    AppendMember(out, "urlToAnswer", fields.urlToAnswer);
    out += ',';
    AppendMember(out, "urlToRedirect", fields.urlToRedirect);
    out += ',';
    AppendMember(out, "crpt_cookie", fields.crpt_cookie);
    out += ',';
    AppendMember(out, "beanName", fields.beanName);
    out += ',';
    AppendMember(out, "beanMethod", fields.beanMethod);
    out += ',';
    AppendMember(out, "idUser", fields.idUser);
    out += ",\"files\":[";
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (i > 0)
            out += ',';
        out += '{';
        AppendMember(out, "id", jobs[i].id);
        out += ',';
        AppendMember(out, "signature", jobs[i].sign);
        out += ',';
        AppendMember(out, "error", jobs[i].error);
        out += '}';
    }
    out += "]}";
    return out;
}

}  // namespace korvalo
