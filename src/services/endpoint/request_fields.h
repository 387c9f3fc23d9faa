#pragma once
// The request fields: what a request names (addresses, cookie, certificate, message...) and
// what the dispatcher makes of it (signature, file to upload). The dispatcher keeps one
// persistent copy; every request works on its own copy of it.

#include <string>
#include <vector>

namespace korvalo {

struct RequestFields {
    // Set by form requests (F) and batch documents (B) as they name them.
    std::string urlToAnswer;             // F B: address the result is posted to
    std::string urlToRedirect;           // F B: address the browser is sent to afterwards
    std::string crpt_cookie;             // F B: cookie sent with the upload
    std::string crpt_login;              // F: non-empty for a login request
    std::string certificateNum;          // F B: serial text of the certificate to preselect
    int maxFileUpload = 0;               // F B: largest file in bytes, 0 no limit
    std::string crpt_message;            // F: the message (single-byte text)
    std::string noShow;                  // F: lower-cased; "true" hides the message
    int useIdCard = 0;                   // F B: non-zero signs through the ID card
    std::vector<std::string> paramList;  // F B: name=value lines echoed by the upload
    // F B: the values of paramList are text already (a form request whose Content-Type named
    // a character set); otherwise the upload decodes them with DecodeUtf8Bytes.
    bool paramsAreText = false;
    std::string beanName;    // B: single-byte text
    std::string beanMethod;  // B: single-byte text
    std::string idUser;      // B: single-byte text

    // Set by the dispatcher.
    std::string sUserAgent;         // the browser's User-Agent (single-byte text)
    bool signMultipleFile = false;  // the request is a JSON batch request
    std::string signature;          // signature text to upload; "json" for a batch answer
    std::string fileName;           // file to upload
};

}  // namespace korvalo
