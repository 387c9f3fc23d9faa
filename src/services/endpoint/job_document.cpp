#include "services/endpoint/job_document.h"

#include <nlohmann/json.hpp>

#include <cstdint>

#include "core/base64.h"
#include "core/text.h"

namespace korvalo {

namespace {

// A JSON value as the document rules read it: objects keep every member in order, duplicates
// included; scalars keep their value text.
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

// Builds a JsonNode tree from the parser's events; refuses nesting deeper than the limit.
class TreeBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    JsonNode root;

    bool null() override { return Add(Scalar("null")); }
    bool boolean(bool value) override { return Add(Scalar(value ? "true" : "false")); }
    bool number_integer(number_integer_t value) override {
        return Add(Scalar(std::to_string(value)));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return Add(Scalar(std::to_string(value)));
    }
    bool number_float(number_float_t, const string_t& text) override { return Add(Scalar(text)); }
    bool string(string_t& value) override {
        JsonNode node;
        node.kind = JsonNode::Kind::String;
        node.text = std::move(value);
        return Add(std::move(node));
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return Open(JsonNode::Kind::Object); }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return Open(JsonNode::Kind::Array); }
    bool end_array() override { return Close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    static JsonNode Scalar(std::string text) {
        JsonNode node;
        node.text = std::move(text);
        return node;
    }

    // Appends node to the open container (or makes it the root) and returns where it lives.
    JsonNode* Place(JsonNode node) {
        if (open_.empty()) {
            root = std::move(node);
            return &root;
        }
        JsonNode& parent = *open_.back();
        if (parent.kind == JsonNode::Kind::Object)
            parent.names.push_back(std::move(key_));
        parent.values.push_back(std::move(node));
        return &parent.values.back();
    }

    bool Add(JsonNode node) {
        Place(std::move(node));
        return true;
    }

    bool Open(JsonNode::Kind kind) {
        if (open_.size() >= kMaxJsonDepth)
            return false;
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
};

std::optional<JsonNode> ParseJson(std::string_view text) {
    TreeBuilder builder;
    if (!nlohmann::json::sax_parse(text, &builder))
        return std::nullopt;
    return std::move(builder.root);
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
