#include "services/endpoint/form_params.h"

#include <gtest/gtest.h>

#include "core/text.h"
#include "services/endpoint/http_params.h"

namespace korvalo {
namespace {

// Parameters as the endpoint delivers them for a query string without a character set.
std::vector<std::string> Query(std::string_view query) {
    return DecodeFormParams(query, "");
}

TEST(ParseFormParams, AddressesOnlyLeaveEverythingElseEmpty) {
    RequestFields fields;
    fields.crpt_cookie = "old";
    fields.maxFileUpload = 7;
    fields.beanName = "bean";
    EXPECT_TRUE(ParseFormParams(Query("urlToAnswer=A&urlToRedirect=B"), false, fields));
    EXPECT_EQ(fields.urlToAnswer, "A");
    EXPECT_EQ(fields.urlToRedirect, "B");
    for (const std::string* text : {&fields.crpt_cookie, &fields.crpt_login, &fields.certificateNum,
                                    &fields.crpt_message, &fields.noShow})
        EXPECT_EQ(*text, "");
    EXPECT_EQ(fields.maxFileUpload, 0);
    EXPECT_EQ(fields.useIdCard, 0);
    EXPECT_EQ(fields.paramList, (std::vector<std::string>{"urlToAnswer=A", "urlToRedirect=B"}));
    EXPECT_EQ(fields.beanName, "bean");  // batch-only fields are not touched
}

TEST(ParseFormParams, MissingOrEmptyAddressGivesFalseButFillsFields) {
    const std::vector<std::string> queries = {"urlToAnswer=A", "urlToRedirect=B",
                                              "urlToAnswer=&urlToRedirect=B", "urltoanswer"};
    for (const std::string& q : queries) {
        RequestFields fields;
        EXPECT_FALSE(ParseFormParams(Query(q + "&crpt_cookie=c"), false, fields)) << q;
        EXPECT_EQ(fields.crpt_cookie, "c") << q;
    }
}

TEST(ParseFormParams, ConversionsOfEachField) {
    struct Case {
        std::string query;
        std::function<void(const RequestFields&)> check;
    };
    const std::vector<Case> cases = {
        {"URLTOANSWER=A&UrlToRedirect=B",
         [](const RequestFields& f) {
             EXPECT_EQ(f.urlToAnswer, "A");
             EXPECT_EQ(f.urlToRedirect, "B");
         }},
        {"certificateNum=12+34",
         [](const RequestFields& f) { EXPECT_EQ(f.certificateNum, "12 34"); }},
        {"certificateNum=12%2B34",
         [](const RequestFields& f) { EXPECT_EQ(f.certificateNum, "12 34"); }},
        {"crpt_message=%D0%9F%D1%80%D0%B8",
         [](const RequestFields& f) { EXPECT_EQ(f.crpt_message, "При"); }},
        // Characters the single-byte code page lacks, and bytes that are no UTF-8.
        {"crpt_message=%E2%88%9A%FF",
         [](const RequestFields& f) { EXPECT_EQ(f.crpt_message, "??"); }},
        {"noshow=TRUE", [](const RequestFields& f) { EXPECT_EQ(f.noShow, "true"); }},
        {"NoShow=yes", [](const RequestFields& f) { EXPECT_EQ(f.noShow, "yes"); }},
        {"maxFileUpload=abc", [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 0); }},
        {"maxFileUpload=-1", [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, -1); }},
        {"maxFileUpload=$10", [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 16); }},
        {"maxFileUpload=99999999999",
         [](const RequestFields& f) { EXPECT_EQ(f.maxFileUpload, 0); }},
        {"useIdCard=1", [](const RequestFields& f) { EXPECT_EQ(f.useIdCard, 1); }},
        {"useIdCard=x", [](const RequestFields& f) { EXPECT_EQ(f.useIdCard, 0); }},
        {"crpt_login=u&crpt_cookie=c1&crpt_cookie=c2",
         [](const RequestFields& f) {
             EXPECT_EQ(f.crpt_login, "u");
             EXPECT_EQ(f.crpt_cookie, "c1");
             EXPECT_EQ(f.paramList, (std::vector<std::string>{"crpt_login=u", "crpt_cookie=c1",
                                                              "crpt_cookie=c2"}));
         }},
        // A value with a line break splits the echo list.
        {"a=x%0D%0Ay&b=2",
         [](const RequestFields& f) {
             EXPECT_EQ(f.paramList, (std::vector<std::string>{"a=x", "y", "b=2"}));
         }},
        // Unknown parameters, lines without "=", and values holding "=" are kept as they are.
        {"other=1&flag&v=a=b",
         [](const RequestFields& f) {
             EXPECT_EQ(f.paramList, (std::vector<std::string>{"other=1", "flag", "v=a=b"}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        RequestFields fields;
        // The fields are what these cases check; the result has tests of its own above.
        (void)ParseFormParams(Query(c.query), false, fields);
        c.check(fields);
    }
}

// A request that names its character set delivers text: the message is taken as it is (é is
// not in code page 1251; the byte E9 of code page 1251 is й), and the echo is told so.
TEST(ParseFormParams, TextParametersAreNotDecodedAgain) {
    for (const char* charset : {"utf-8", "windows-1251"}) {
        SCOPED_TRACE(charset);
        RequestFields fields;
        const std::string encoded =
            std::string(charset) == "utf-8"
                ? "crpt_message=%D0%9F%D1%80%D0%B8+%C2%AB%D0%B2%C2%BB+%C2%A0%C3%A9"
                : "crpt_message=%CF%F0%E8+%AB%E2%BB+%A0%E9";
        // No addresses: only the fields count here.
        (void)ParseFormParams(DecodeFormParams(encoded, charset), true, fields);
        EXPECT_EQ(fields.crpt_message,
                  std::string(charset) == "utf-8" ? "При «в» \u00A0?" : "При «в» \u00A0й");
        EXPECT_TRUE(fields.paramsAreText);
    }
    RequestFields fields;
    fields.paramsAreText = true;
    // Likewise.
    (void)ParseFormParams(Query("crpt_message=%D0%9F%D1%80%D0%B8+%C2%AB%C2%A0%C2%BB"), false,
                          fields);
    EXPECT_EQ(fields.crpt_message, "При «\u00A0»");
    EXPECT_FALSE(fields.paramsAreText);
}

TEST(ParamValue, FirstMatchWithoutRegardToCase) {
    const std::vector<std::string> params = {"a", "B=1", "b=2", "c=x=y"};
    EXPECT_EQ(ParamValue(params, "b"), "1");
    EXPECT_EQ(ParamValue(params, "C"), "x=y");
    EXPECT_EQ(ParamValue(params, "a"), "");
    EXPECT_EQ(ParamValue(params, "missing"), "");
}

}  // namespace
}  // namespace korvalo
