// The SOAP envelope: the request bytes Korvalo writes, and the answers it reads as servers send
// them (both XML Schema versions, multi-reference values, faults, and what is no SOAP).

#include "services/soap/soap_envelope.h"

#include <gtest/gtest.h>

namespace korvalo {
namespace {

SoapCall GetDllPathAndMenu(const std::string& softwareId, const std::string& menuId) {
    SoapCall call;
    call.operation = "GetDllPathAndMenu";
    call.nameSpace = "urn:uPathLoaderIntf-IPathLoaderSrv";
    call.action = "urn:uPathLoaderIntf-IPathLoaderSrv#GetDllPathAndMenu";
    call.parameters = {SoapParameter::String("SoftwareID", softwareId),
                       SoapParameter::String("MenuID", menuId)};
    return call;
}

std::string Envelope(const std::string& schemaYear, const std::string& body) {
    const std::string xsd = schemaYear == "2000" ? "http://www.w3.org/2000/10/XMLSchema"
                                                 : "http://www.w3.org/" + schemaYear + "/XMLSchema";
    return R"(<?xml version="1.0" encoding="utf-8"?>)"
           R"(<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" )"
           R"(xmlns:xsd=")" +
           xsd + R"(" xmlns:xsi=")" + xsd + R"(-instance" )" +
           R"(xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/">)"
           R"(<SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">)" +
           body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

TEST(BuildSoapRequest, TheEnvelopeInUtf8WithTypedParameters) {
    SoapCall call = GetDllPathAndMenu("{2A9EB3FF}", "Меню <1> & \"2\"\r\nдалее");
    call.parameters.push_back(SoapParameter::Int("iErrCode", -7));
    call.parameters.push_back(SoapParameter::Boolean("bFlag", true));
    EXPECT_EQ(
        BuildSoapRequest(call),
        R"(<?xml version="1.0" encoding="utf-8"?>)"
        R"(<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" )"
        R"(xmlns:xsd="http://www.w3.org/2001/XMLSchema" )"
        R"(xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" )"
        R"(xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/">)"
        R"(<SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">)"
        R"(<NS1:GetDllPathAndMenu xmlns:NS1="urn:uPathLoaderIntf-IPathLoaderSrv">)"
        R"(<SoftwareID xsi:type="xsd:string">{2A9EB3FF}</SoftwareID>)"
        R"(<MenuID xsi:type="xsd:string">Меню &lt;1&gt; &amp; "2"&#13;)"
        "\n"
        R"(далее</MenuID>)"
        R"(<iErrCode xsi:type="xsd:int">-7</iErrCode>)"
        R"(<bFlag xsi:type="xsd:boolean">true</bFlag>)"
        R"(</NS1:GetDllPathAndMenu></SOAP-ENV:Body></SOAP-ENV:Envelope>)");
}

TEST(BuildSoapRequest, TextThatIsNotUtf8IsRepaired) {
    const std::string xml =
        BuildSoapRequest(GetDllPathAndMenu("a\xff"
                                           "b",
                                           ""));
    EXPECT_NE(xml.find("a\xEF\xBF\xBD"
                       "b"),
              std::string::npos);
}

// The same answer as servers write it: typed with every version of the XML Schema, untyped,
// with multi-reference values, with CDATA.
TEST(SoapAnswerParse, ReturnAndOutParametersHoweverTheServerWritesThem) {
    const std::string plain =
        R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:uPathLoaderIntf-IPathLoaderSrv">)"
        R"(<return xsi:type="xsd:boolean">true</return>)"
        "<Menu xsi:type=\"xsd:string\">A\r\nB</Menu>"
        R"(<Paths xsi:type="xsd:string">p1&#9;p2&#13;&#10;p3</Paths>)"
        R"(<Msg xsi:type="xsd:string"></Msg></NS1:GetDllPathAndMenuResponse>)";
    const std::string multiRef =
        R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:uPathLoaderIntf-IPathLoaderSrv">)"
        R"(<return href="#1"/><Menu href="#2"/><Paths href="#3"/><Msg href="#4"/>)"
        R"(</NS1:GetDllPathAndMenuResponse>)"
        R"(<SOAP-ENC:boolean id="1" xsi:type="xsd:boolean">1</SOAP-ENC:boolean>)"
        "<SOAP-ENC:string id=\"2\" xsi:type=\"xsd:string\">A\r\nB</SOAP-ENC:string>"
        R"(<SOAP-ENC:string id="3" xsi:type="xsd:string">p1	p2<![CDATA[)"
        "\r\n"
        R"(]]>p3</SOAP-ENC:string>)"
        R"(<SOAP-ENC:string id="4" xsi:nil="true"/>)";
    const std::string untyped =
        R"(<ns:GetDllPathAndMenuResponse xmlns:ns="urn:uPathLoaderIntf-IPathLoaderSrv">)"
        "<return>true</return><Menu>A\r\nB</Menu><Paths>p1\tp2\r\np3</Paths>"
        R"(<Msg href="#m"/></ns:GetDllPathAndMenuResponse><item id="m" href="#n"/>)"
        R"(<item id="n"></item>)";
    const std::pair<std::string, std::string> answers[] = {
        {"2001", plain},    {"1999", plain},    {"2000", plain},
        {"2001", multiRef}, {"1999", multiRef}, {"2001", untyped},
    };
    for (const auto& [year, body] : answers) {
        const SoapAnswer answer = SoapAnswer::Parse(Envelope(year, body), "GetDllPathAndMenu");
        SCOPED_TRACE(year + " " + body);
        EXPECT_TRUE(answer.Boolean("return"));
        EXPECT_EQ(answer.Text("Menu"), "A\r\nB");  // the CR LF as sent
        EXPECT_EQ(answer.Text("Paths"), "p1\tp2\r\np3");
        EXPECT_EQ(answer.Text("Msg"), "");
        EXPECT_FALSE(answer.Has("Other"));
    }
}

TEST(SoapAnswerParse, IntegersAndBooleans) {
    const SoapAnswer answer = SoapAnswer::Parse(
        Envelope(
            "2001",
            R"(<NS1:CheckVersionNewResponse xmlns:NS1="urn:UpdateSrvIntf-IUpdateSrv">)"
            R"(<return xsi:type="xsd:int"> 2 </return><iErrCode xsi:type="xsd:int">-1</iErrCode>)"
            R"(<big xsi:type="xsd:int">2147483648</big><hex>$10</hex><flag>yes</flag>)"
            R"(</NS1:CheckVersionNewResponse>)"),
        "CheckVersionNew");
    EXPECT_EQ(answer.Int("return"), 2);
    EXPECT_EQ(answer.Int("iErrCode"), -1);
    EXPECT_THROW((void)answer.Int("big"), SoapError);
    EXPECT_THROW((void)answer.Int("hex"), SoapError);
    EXPECT_THROW((void)answer.Boolean("flag"), SoapError);
    EXPECT_THROW((void)answer.Text("missing"), SoapError);
    EXPECT_EQ(answer.TextOr("missing", "x"), "x");
}

TEST(SoapAnswerParse, AFaultCarriesItsFaultString) {
    const std::string fault = R"(<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>)"
                              R"(<faultstring>Ошибка базы данных</faultstring></SOAP-ENV:Fault>)";
    try {
        (void)SoapAnswer::Parse(Envelope("1999", fault), "GetDllPathAndMenu");
        FAIL() << "no fault thrown";
    } catch (const SoapFault& e) {
        EXPECT_STREQ(e.what(), "Ошибка базы данных");
        EXPECT_EQ(e.FaultCode(), "SOAP-ENV:Server");
    }
    // A fault without words still says what it is.
    try {
        (void)SoapAnswer::Parse(
            Envelope("2001", "<SOAP-ENV:Fault><faultcode>Client</faultcode></SOAP-ENV:Fault>"),
            "X");
        FAIL() << "no fault thrown";
    } catch (const SoapFault& e) {
        EXPECT_NE(std::string(e.what()).find("Client"), std::string::npos);
    }
}

TEST(SoapAnswerParse, WhatIsNoExpectedAnswerFails) {
    const std::pair<std::string, std::string> cases[] = {
        {"<html><body>Service unavailable</body></html>", "an HTML page"},
        {"not xml at all", "text"},
        {"", "nothing"},
        {"<Envelope><Body/></Envelope>", "an envelope outside the SOAP namespace"},
        {R"(<e:Envelope xmlns:e="http://schemas.xmlsoap.org/soap/envelope/"/>)", "no body"},
        {Envelope("2001", R"(<NS1:OtherResponse xmlns:NS1="urn:x"><return>1</return>)"
                          R"(</NS1:OtherResponse>)"),
         "the answer to another operation"},
        {Envelope("2001", R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:x">)"
                          R"(<return href="#9"/></NS1:GetDllPathAndMenuResponse>)"),
         "a reference to nothing"},
        {Envelope("2001", R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:x">)"
                          R"(<return href="#a"/></NS1:GetDllPathAndMenuResponse>)"
                          R"(<v id="a" href="#b"/><v id="b" href="#a"/>)"),
         "references in a circle"},
        {Envelope("2001", R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:x">)"
                          R"(<Menu><item>a</item></Menu></NS1:GetDllPathAndMenuResponse>)"),
         "a compound value"},
    };
    for (const auto& [xml, what] : cases) {
        try {
            (void)SoapAnswer::Parse(xml, "GetDllPathAndMenu");
            ADD_FAILURE() << "accepted " << what;
        } catch (const SoapFault&) {
            ADD_FAILURE() << "a fault for " << what;
        } catch (const SoapError& e) {
            EXPECT_FALSE(std::string(e.what()).empty()) << what;
        }
    }
}

TEST(SoapAnswerParse, DeepNestingCostsNoRecursion) {
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    const std::string xml =
        Envelope("2001", R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:x"><return>true)"
                         R"(</return></NS1:GetDllPathAndMenuResponse><x>)" +
                             deep + "</x>");
    // Not well-formed (the <a>s stay open): refused, and nothing overflows on the way.
    EXPECT_THROW((void)SoapAnswer::Parse(xml, "GetDllPathAndMenu"), SoapError);
    std::string closed = deep;
    for (int i = 0; i < 200000; ++i)
        closed += "</a>";
    const SoapAnswer answer = SoapAnswer::Parse(
        Envelope("2001", R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:x"><return>true)"
                         R"(</return></NS1:GetDllPathAndMenuResponse><x>)" +
                             closed + "</x>"),
        "GetDllPathAndMenu");
    EXPECT_TRUE(answer.Boolean("return"));
}

}  // namespace
}  // namespace korvalo
