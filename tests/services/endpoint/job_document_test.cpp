#include "services/endpoint/job_document.h"

#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/text.h"

namespace korvalo {
namespace {

// The body as the dispatcher hands it over: decoded as UTF-8.
std::optional<TJobDocument> Parse(std::string_view text, RequestFields& fields) {
    return ParseJobDocument(DecodeUtf8(text), fields);
}

TEST(ParseJobDocument, AddressesAndOneJob) {
    RequestFields fields;
    const auto doc = Parse(
        R"({"urlToAnswer":"A","urlToRedirect":"B","files":[{"id":1,"data64":"YWJj"}]})", fields);
    ASSERT_TRUE(doc);
    ASSERT_TRUE(doc->jobs);
    ASSERT_EQ(doc->jobs->size(), 1u);
    EXPECT_EQ((*doc->jobs)[0].id, "1");
    EXPECT_EQ((*doc->jobs)[0].pData, "abc");
    EXPECT_EQ((*doc->jobs)[0].sign, "");
    EXPECT_EQ(doc->pairs, (std::vector<std::string>{"urlToAnswer=A", "urlToRedirect=B"}));
    EXPECT_EQ(fields.urlToAnswer, "A");
    EXPECT_EQ(fields.urlToRedirect, "B");
}

TEST(ParseJobDocument, EdgeCases) {
    struct Case {
        std::string text;
        bool returned;
        std::optional<std::size_t> jobs;  // nullopt: no job list
        std::vector<std::string> pairs;
    };
    const std::vector<Case> cases = {
        {R"({"files":[{"id":"x","data64":"YWJj"}],"urlToAnswer":"A"})", true, 1, {"urlToAnswer=A"}},
        {"{}", true, 0, {}},
        {R"({"files":[]})", true, 0, {}},
        {R"({"a":1})", true, std::nullopt, {"a=1"}},
        {" \r\n{\"a\":1}\t\r\n ", true, std::nullopt, {"a=1"}},
        {R"({"Files":[{"id":1,"data64":"YQ=="}]})", true, std::nullopt, {"Files="}},
        // A second "files" replaces the jobs of the first.
        {R"({"files":[{"id":1,"data64":"YQ=="},{"id":2,"data64":"Yg=="}],"files":[{"id":3,"data64":"Yw=="}]})",
         true,
         1,
         {}},
        // Elements without "id" or "data64" are left out.
        {R"({"files":[{"id":1},{"data64":"YQ=="},{"id":2,"data64":"Yg=="}]})", true, 1, {}},
        // Value texts of every kind of value.
        {R"({"s":"t\"x","n":-12,"f":1.50,"big":123456789012345678901234,"t":true,"z":null,"o":{"a":1},"a":[1],"s":"dup"})",
         true,
         std::nullopt,
         {"s=t\"x", "n=-12", "f=1.50", "big=123456789012345678901234", "t=true", "z=null",
          "o=", "a=", "s=dup"}},
        // Not a JSON object, or "files" not an array.
        {"[1,2]", false, std::nullopt, {}},
        {"\"text\"", false, std::nullopt, {}},
        {"", false, std::nullopt, {}},
        {R"({"urlToAnswer":"A","files":[{"id":1)", false, std::nullopt, {}},
        {R"({"a":1} x)", false, std::nullopt, {}},
        {R"({"files":{"id":1}})", false, std::nullopt, {}},
        {R"({"files":"x"})", false, std::nullopt, {}},
        {std::string(R"({"a":)") + std::string(600, '[') + std::string(600, ']') + "}",
         false,
         std::nullopt,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        RequestFields fields;
        const auto doc = Parse(c.text, fields);
        ASSERT_EQ(doc.has_value(), c.returned);
        if (!doc)
            continue;
        ASSERT_EQ(doc->jobs.has_value(), c.jobs.has_value());
        if (c.jobs) {
            EXPECT_EQ(doc->jobs->size(), *c.jobs);
        }
        EXPECT_EQ(doc->pairs, c.pairs);
    }
    // Nesting up to the limit is fine.
    RequestFields fields;
    const std::string deep =
        std::string(R"({"a":)") + std::string(500, '[') + std::string(500, ']') + "}";
    EXPECT_TRUE(Parse(deep, fields));
}

// Numbers keep the text they are written as; a lone surrogate escape reads as U+FFFD; an
// escaped backslash before "u" is no escape.
TEST(ParseJobDocument, NumbersAsWrittenAndLoneSurrogates) {
    RequestFields fields;
    const auto doc = Parse(
        R"({"z":-0,"big":1E400,"tiny":-1e-400,"f":1.50,"i":-9223372036854775809,"hi":"\ud800",)"
        R"("lo":"a\udc00b","pair":"\ud83d\ude00","hiThenText":"\ud800\u0041","bs":"\\ud800",)"
        R"("hiThenPair":"\ud800\ud83d\ude00",)"
        R"("files":[{"id":-0,"data64":""},{"id":1E400,"data64":"YQ=="},{"id":"\udfff","data64":""}]})",
        fields);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->pairs,
              (std::vector<std::string>{"z=-0", "big=1E400", "tiny=-1e-400", "f=1.50",
                                        "i=-9223372036854775809", "hi=\uFFFD", "lo=a\uFFFDb",
                                        "pair=\U0001F600", "hiThenText=\uFFFDA", "bs=\\ud800",
                                        "hiThenPair=\uFFFD\U0001F600"}));
    ASSERT_TRUE(doc->jobs);
    ASSERT_EQ(doc->jobs->size(), 3u);
    EXPECT_EQ((*doc->jobs)[0].id, "-0");
    EXPECT_EQ((*doc->jobs)[0].pData, "");
    EXPECT_EQ((*doc->jobs)[1].id, "1E400");
    EXPECT_EQ((*doc->jobs)[2].id, "\uFFFD");
    // Other invalid JSON still fails: bad escapes, a bare minus, a leading zero, NaN.
    for (const char* bad : {R"({"a":"\ud80"})", R"({"a":"\x"})", R"({"a":-})", R"({"a":01})",
                            R"({"a":NaN})", R"({"a":1,})", "{\"a\":\"\\"})
        EXPECT_FALSE(Parse(bad, fields)) << bad;
}

TEST(ParseJobDocument, FilesElementThatIsNotAnObjectFailsTheRequest) {
    RequestFields fields;
    EXPECT_THROW(Parse(R"({"files":[{"id":1,"data64":"YQ=="},5]})", fields), JobDocumentError);
    EXPECT_THROW(Parse(R"({"files":[[]]})", fields), JobDocumentError);
}

TEST(ParseJobDocument, FieldConversions) {
    struct Case {
        std::string text;
        std::function<void(const RequestFields&)> check;
    };
    const std::vector<Case> cases = {
        {R"({"maxFileUpload":"x"})",
         [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 20000000); }},
        {R"({"maxFileUpload":5000})",
         [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 5000); }},
        {R"({"maxFileUpload":"77"})",
         [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 77); }},
        {R"({"maxFileUpload":1.5})",
         [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 20000000); }},
        {R"({"useIdCard":1})", [](const RequestFields& f) { EXPECT_EQ(f.useIdCard, 1); }},
        {R"({"useIdCard":"1"})", [](const RequestFields& f) { EXPECT_EQ(f.useIdCard, 1); }},
        {R"({"useIdCard":"yes"})", [](const RequestFields& f) { EXPECT_EQ(f.useIdCard, 0); }},
        {R"({"certificateNum":"12+34"})",
         [](const RequestFields& f) { EXPECT_EQ(f.certificateNum, "12+34"); }},
        // UTF-8 bytes written as one escape each survive; raw UTF-8 is real text.
        {R"({"beanName":"\u00d0\u009f\u00d1\u0080","urlToAnswer":"\u00d0\u009f"})",
         [](const RequestFields& f) {
             EXPECT_EQ(f.beanName, "Пр");
             EXPECT_EQ(f.urlToAnswer, "П");
         }},
        {"{\"idUser\":\"\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\",\"beanMethod\":"
         "\"\\u00e2\\u0088\\u009a\"}",
         [](const RequestFields& f) {
             EXPECT_EQ(f.idUser, "Иванов");
             EXPECT_EQ(f.beanMethod, "?");  // not in the single-byte code page
         }},
        // Byte escapes beside real characters, a lone byte escape, and bytes that are no UTF-8
        // in the body itself.
        {"{\"beanName\":\"\\u00d0\\u009f\\u0418\",\"idUser\":\"\\u00d0\xD0\x98\","
         "\"crpt_cookie\":\"a\xFF\"}",
         [](const RequestFields& f) {
             EXPECT_EQ(f.beanName, "ПИ");
             EXPECT_EQ(f.idUser, "?И");  // U+00D0 is not in the single-byte code page
             EXPECT_EQ(f.crpt_cookie, "a\uFFFD");
         }},
        {R"({"crpt_cookie":"c=1; d=2"})",
         [](const RequestFields& f) { EXPECT_EQ(f.crpt_cookie, "c=1; d=2"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        RequestFields fields;
        ASSERT_TRUE(Parse(c.text, fields));
        c.check(fields);
    }
}

// An earlier request's values (perhaps another site's) never fill in what a document leaves
// out: its upload would go to that site, with its cookie, signed the way it asked.
TEST(ParseJobDocument, AbsentMembersTakeStartUpValuesNotEarlierOnes) {
    RequestFields fields;
    fields.urlToAnswer = "earlier";
    fields.crpt_cookie = "cookie";
    fields.certificateNum = "0A0B";
    fields.maxFileUpload = 5;
    fields.useIdCard = 1;
    fields.beanName = "bean";
    fields.beanMethod = "method";
    fields.idUser = "user";
    fields.crpt_message = "a form's message";
    ASSERT_TRUE(Parse(R"({"urlToRedirect":"B","files":[]})", fields));
    const RequestFields startUp;
    EXPECT_EQ(fields.urlToRedirect, "B");
    EXPECT_EQ(fields.urlToAnswer, startUp.urlToAnswer);
    EXPECT_EQ(fields.crpt_cookie, startUp.crpt_cookie);
    EXPECT_EQ(fields.certificateNum, startUp.certificateNum);
    EXPECT_EQ(fields.maxFileUpload, startUp.maxFileUpload);
    EXPECT_EQ(fields.useIdCard, startUp.useIdCard);
    EXPECT_EQ(fields.beanName, startUp.beanName);
    EXPECT_EQ(fields.beanMethod, startUp.beanMethod);
    EXPECT_EQ(fields.idUser, startUp.idUser);
    EXPECT_EQ(fields.crpt_message, "a form's message") << "not a batch document's field";

    // Nothing is touched when the body is no document at all.
    fields.useIdCard = 1;
    EXPECT_FALSE(Parse("[1]", fields));
    EXPECT_EQ(fields.useIdCard, 1);
}

TEST(BatchAnswerJson, ExactSerialisation) {
    RequestFields fields;
    fields.urlToAnswer = "http://a/x?q=\"1\"";
    fields.urlToRedirect = "B";
    fields.crpt_cookie = "c\\d";
    fields.beanName = "Боб";
    fields.beanMethod = "m";
    fields.idUser = "";
    TJobList jobs(2);
    jobs[0].id = "1";
    jobs[0].sign = "MIIB\r\nAAAA\r\n";
    jobs[1].id = "two";
    jobs[1].error = "нет ключа";
    EXPECT_EQ(BatchAnswerJson(fields, jobs),
              "{\"urlToAnswer\":\"http://a/x?q=\\\"1\\\"\",\"urlToRedirect\":\"B\","
              "\"crpt_cookie\":\"c\\d\",\"beanName\":\"Боб\",\"beanMethod\":\"m\",\"idUser\":\"\","
              "\"files\":[{\"id\":\"1\",\"signature\":\"MIIB\r\nAAAA\r\n\",\"error\":\"\"},"
              "{\"id\":\"two\",\"signature\":\"\",\"error\":\"нет ключа\"}]}");
    EXPECT_EQ(BatchAnswerJson(RequestFields{}, {}),
              "{\"urlToAnswer\":\"\",\"urlToRedirect\":\"\",\"crpt_cookie\":\"\",\"beanName\":\"\","
              "\"beanMethod\":\"\",\"idUser\":\"\",\"files\":[]}");
}

}  // namespace
}  // namespace korvalo
