#include "services/soap/soap_envelope.h"

#include <pugixml.hpp>

#include <sstream>
#include <unordered_map>

#include "core/text.h"

namespace korvalo {

namespace {

// The XML Schema instance namespaces of every version a service may type its answer with.
constexpr const char* kSchemaInstanceNamespaces[] = {
    "http://www.w3.org/2001/XMLSchema-instance",
    "http://www.w3.org/2000/10/XMLSchema-instance",
    "http://www.w3.org/1999/XMLSchema-instance",
};

struct QualifiedName {
    std::string_view prefix;
    std::string_view local;
};

QualifiedName SplitName(const char* name) {
    const std::string_view text(name);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return {{}, text};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

// The namespace bound to prefix where node stands ("" for none).
std::string_view NamespaceOf(pugi::xml_node node, std::string_view prefix) {
    const std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
    for (pugi::xml_node n = node; n; n = n.parent()) {
        if (const pugi::xml_attribute a = n.attribute(attribute.c_str()))
            return a.value();
    }
    return {};
}

bool IsElement(pugi::xml_node node, std::string_view nameSpace, std::string_view local) {
    if (node.type() != pugi::node_element)
        return false;
    const QualifiedName name = SplitName(node.name());
    return name.local == local && NamespaceOf(node, name.prefix) == nameSpace;
}

bool IsSchemaInstance(std::string_view nameSpace) {
    for (const char* known : kSchemaInstanceNamespaces) {
        if (nameSpace == known)
            return true;
    }
    return false;
}

// The attribute local of the XML Schema instance namespace (any version) on node.
pugi::xml_attribute SchemaInstanceAttribute(pugi::xml_node node, std::string_view local) {
    for (pugi::xml_attribute a : node.attributes()) {
        const QualifiedName name = SplitName(a.name());
        if (!name.prefix.empty() && name.local == local &&
            IsSchemaInstance(NamespaceOf(node, name.prefix)))
            return a;
    }
    return {};
}

pugi::xml_node FirstElement(pugi::xml_node parent) {
    for (pugi::xml_node child : parent.children()) {
        if (child.type() == pugi::node_element)
            return child;
    }
    return {};
}

// The first child element with that local name, whatever its prefix.
pugi::xml_node ChildByLocalName(pugi::xml_node parent, std::string_view local) {
    for (pugi::xml_node child : parent.children()) {
        if (child.type() == pugi::node_element && SplitName(child.name()).local == local)
            return child;
    }
    return {};
}

// Character data of a simple value, repaired to UTF-8.
std::string SimpleText(pugi::xml_node element, std::string_view name) {
    std::string text;
    for (pugi::xml_node child : element.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
        else if (child.type() == pugi::node_element)
            throw SoapError("Значение " + std::string(name) +
                            " в ответе сервиса не является простым значением");
    }
    return DecodeUtf8(text);
}

// Every element with an id attribute below root: the targets of href="#id". The walk keeps no
// stack of its own, so however deep a hostile answer nests, it costs no recursion.
void CollectIds(pugi::xml_node root, std::unordered_map<std::string, pugi::xml_node>& ids) {
    pugi::xml_node node = root.first_child();
    while (node && node != root) {
        if (node.type() == pugi::node_element) {
            if (const pugi::xml_attribute id = node.attribute("id"))
                ids.emplace(id.value(), node);
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != root && !node.next_sibling())
            node = node.parent();
        if (node && node != root)
            node = node.next_sibling();
    }
}

// The element holding the value of accessor: the accessor itself, or the element its href
// names (followed through a few levels).
pugi::xml_node Referenced(pugi::xml_node accessor,
                          const std::unordered_map<std::string, pugi::xml_node>& ids) {
    pugi::xml_node node = accessor;
    for (int depth = 0; depth < 8; ++depth) {
        const pugi::xml_attribute href = node.attribute("href");
        if (!href)
            return node;
        const std::string_view target(href.value());
        const auto found =
            target.starts_with("#") ? ids.find(std::string(target.substr(1))) : ids.end();
        if (found == ids.end())
            throw SoapError("Ссылка " + std::string(target) +
                            " в ответе сервиса не ведет ни к одному значению");
        node = found->second;
    }
    throw SoapError("Ссылки в ответе сервиса образуют цикл");
}

std::string ElementText(pugi::xml_node accessor, std::string_view name,
                        const std::unordered_map<std::string, pugi::xml_node>& ids) {
    const pugi::xml_node value = Referenced(accessor, ids);
    for (const char* nil : {"nil", "null"}) {
        const pugi::xml_attribute a = SchemaInstanceAttribute(value, nil);
        if (a && (std::string_view(a.value()) == "true" || std::string_view(a.value()) == "1"))
            return {};
    }
    return SimpleText(value, name);
}

[[noreturn]] void ThrowFault(pugi::xml_node fault) {
    std::string code;
    std::string text;
    if (const pugi::xml_node c = ChildByLocalName(fault, "faultcode"))
        code = Trim(DecodeUtf8(c.child_value()));
    if (const pugi::xml_node s = ChildByLocalName(fault, "faultstring")) {
        for (pugi::xml_node child : s.children()) {
            if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
                text += child.value();
        }
        text = DecodeUtf8(text);
    }
    if (Trim(text).empty())
        text = "Сервис ответил ошибкой SOAP" + (code.empty() ? std::string() : " " + code);
    throw SoapFault(code, text);
}

const char* XsdTypeName(SoapType type) {
    switch (type) {
        case SoapType::Int:
            return "xsd:int";
        case SoapType::Boolean:
            return "xsd:boolean";
        case SoapType::String:
            break;
    }
    return "xsd:string";
}

}  // namespace

SoapParameter SoapParameter::String(std::string name, std::string text) {
    SoapParameter p;
    p.name = std::move(name);
    p.type = SoapType::String;
    p.text = std::move(text);
    return p;
}

SoapParameter SoapParameter::Int(std::string name, std::int32_t number) {
    SoapParameter p;
    p.name = std::move(name);
    p.type = SoapType::Int;
    p.number = number;
    return p;
}

SoapParameter SoapParameter::Boolean(std::string name, bool flag) {
    SoapParameter p;
    p.name = std::move(name);
    p.type = SoapType::Boolean;
    p.flag = flag;
    return p;
}

std::string BuildSoapRequest(const SoapCall& call) {
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";

    pugi::xml_node envelope = doc.append_child("SOAP-ENV:Envelope");
    envelope.append_attribute("xmlns:SOAP-ENV") = kSoapEnvelopeNs;
    envelope.append_attribute("xmlns:xsd") = kXmlSchemaNs;
    envelope.append_attribute("xmlns:xsi") = kXmlSchemaInstanceNs;
    envelope.append_attribute("xmlns:SOAP-ENC") = kSoapEncodingNs;
    pugi::xml_node body = envelope.append_child("SOAP-ENV:Body");
    body.append_attribute("SOAP-ENV:encodingStyle") = kSoapEncodingNs;
    pugi::xml_node operation = body.append_child(("NS1:" + call.operation).c_str());
    operation.append_attribute("xmlns:NS1") = call.nameSpace.c_str();
    for (const SoapParameter& p : call.parameters) {
        pugi::xml_node element = operation.append_child(p.name.c_str());
        element.append_attribute("xsi:type") = XsdTypeName(p.type);
        switch (p.type) {
            case SoapType::String:
                element.text().set(DecodeUtf8(p.text).c_str());
                break;
            case SoapType::Int:
                element.text().set(std::to_string(p.number).c_str());
                break;
            case SoapType::Boolean:
                element.text().set(p.flag ? "true" : "false");
                break;
        }
    }
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw, pugi::encoding_utf8);
    // The raw format adds no line breaks of its own, so every CR left is one of a value.
    return ReplaceAll(out.str(), "\r", "&#13;");
}

SoapAnswer SoapAnswer::Parse(std::string_view xml, const std::string& operation) {
    pugi::xml_document doc;
    // No line-end normalisation: a CR LF in a value reaches the caller as sent.
    const pugi::xml_parse_result parsed = doc.load_buffer(
        xml.data(), xml.size(), pugi::parse_default & ~pugi::parse_eol, pugi::encoding_auto);
    if (!parsed)
        throw SoapError(std::string("Ответ сервиса не является документом XML (") +
                        parsed.description() + ")");
    const pugi::xml_node envelope = doc.document_element();
    if (!IsElement(envelope, kSoapEnvelopeNs, "Envelope"))
        throw SoapError("Ответ сервиса не является сообщением SOAP");
    pugi::xml_node body;
    for (pugi::xml_node child : envelope.children()) {
        if (IsElement(child, kSoapEnvelopeNs, "Body")) {
            body = child;
            break;
        }
    }
    if (!body)
        throw SoapError("В ответе сервиса нет тела сообщения SOAP");
    const pugi::xml_node first = FirstElement(body);
    if (IsElement(first, kSoapEnvelopeNs, "Fault"))
        ThrowFault(first);
    if (!first || SplitName(first.name()).local != operation + "Response")
        throw SoapError("Ответ сервиса не содержит элемента " + operation + "Response");

    std::unordered_map<std::string, pugi::xml_node> ids;
    CollectIds(body, ids);
    SoapAnswer answer;
    for (pugi::xml_node child : first.children()) {
        if (child.type() != pugi::node_element)
            continue;
        const std::string name(SplitName(child.name()).local);
        if (!answer.Has(name))
            answer.Set(name, ElementText(child, name, ids));
    }
    return answer;
}

std::string SoapAnswer::Text(const std::string& name) const {
    const auto found = values_.find(name);
    if (found == values_.end())
        throw SoapError("В ответе сервиса нет значения " + name);
    return found->second;
}

std::string SoapAnswer::TextOr(const std::string& name, std::string fallback) const {
    const auto found = values_.find(name);
    return found == values_.end() ? std::move(fallback) : found->second;
}

std::int32_t SoapAnswer::Int(const std::string& name) const {
    const std::string text = Trim(Text(name));
    std::int32_t number = 0;
    const bool decimal = !text.empty() && text.find_first_of("$xX") == std::string::npos;
    if (!decimal || !ParseInteger(text, number, false))
        throw SoapError("Значение " + name + " в ответе сервиса не является целым числом");
    return number;
}

bool SoapAnswer::Boolean(const std::string& name) const {
    const std::string text = Trim(Text(name));
    if (text == "true" || text == "1")
        return true;
    if (text == "false" || text == "0")
        return false;
    throw SoapError("Значение " + name + " в ответе сервиса не является логическим значением");
}

}  // namespace korvalo
