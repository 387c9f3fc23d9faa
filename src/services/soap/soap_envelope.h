#pragma once
// The SOAP 1.1 envelope of an RPC-style call with section 5 encoding: the request Korvalo
// writes and the answer it reads (return value, out parameters, multi-reference values,
// faults), in any version of the XML Schema namespaces.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo {

// Namespaces of the envelope.
inline constexpr const char* kSoapEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kSoapEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr const char* kXmlSchemaNs = "http://www.w3.org/2001/XMLSchema";
inline constexpr const char* kXmlSchemaInstanceNs = "http://www.w3.org/2001/XMLSchema-instance";

// A SOAP call failed: the answer was no SOAP answer, or not the one expected. The message is
// the text to show.
class SoapError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The service answered with a SOAP fault; the message is its fault string.
class SoapFault : public SoapError {
public:
    SoapFault(std::string faultCode, const std::string& faultString)
        : SoapError(faultString), faultCode_(std::move(faultCode)) {}
    const std::string& FaultCode() const { return faultCode_; }

private:
    std::string faultCode_;
};

// The XML types of parameters and results.
enum class SoapType { String, Int, Boolean };

// One parameter of a call, in order: in parameters and the in-values of in/out parameters.
struct SoapParameter {
    std::string name;
    SoapType type = SoapType::String;
    std::string text;         // String
    std::int32_t number = 0;  // Int
    bool flag = false;        // Boolean

    static SoapParameter String(std::string name, std::string text);
    static SoapParameter Int(std::string name, std::int32_t number);
    static SoapParameter Boolean(std::string name, bool flag);
};

// One RPC call.
struct SoapCall {
    std::string operation;  // the operation element's name, e.g. "GetDllPathAndMenu"
    std::string nameSpace;  // its namespace, e.g. "urn:uPathLoaderIntf-IPathLoaderSrv"
    std::string action;     // the SOAPAction, e.g. nameSpace + "#" + operation
    std::vector<SoapParameter> parameters;
};

// The request envelope of a call, UTF-8 with its XML declaration: the operation element in
// its namespace, each parameter an element of its own name typed with xsi:type (xsd:string,
// xsd:int, xsd:boolean). Text that is not UTF-8 is repaired (U+FFFD); a carriage return is
// written as a character reference, so that it survives the line-end rule of XML.
std::string BuildSoapRequest(const SoapCall& call);

// The result and out parameters of an answer, by element name ("return" for the result).
class SoapAnswer {
public:
    // Reads the answer to operation: the envelope, its body, and in it either a fault
    // (thrown as SoapFault) or the element operation + "Response", whose children are the
    // values. A child that refers to another element (href="#id") takes that element's value;
    // xsi:nil gives the empty text; types from any version of the XML Schema namespaces are
    // accepted. Line ends inside values are kept as sent. Throws SoapError for anything else.
    static SoapAnswer Parse(std::string_view xml, const std::string& operation);

    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    // The value as text; throws SoapError when the answer has no such element.
    std::string Text(const std::string& name) const;
    // The value as text, or fallback when the answer has no such element.
    std::string TextOr(const std::string& name, std::string fallback) const;
    // The value as a 32-bit integer / a boolean ("true", "false", "1", "0"); throws
    // SoapError when it is missing or not of that type.
    std::int32_t Int(const std::string& name) const;
    bool Boolean(const std::string& name) const;

    void Set(const std::string& name, std::string text) { values_[name] = std::move(text); }

private:
    std::map<std::string, std::string> values_;
};

}  // namespace korvalo
