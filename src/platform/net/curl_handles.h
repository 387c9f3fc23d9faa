#pragma once
// Owners of libcurl handles (easy and multi handle, header list, URL handle, text libcurl
// allocated) and
// libcurl's one-time global start, shared by every part of Korvalo that talks HTTP through it.
// Header only: it is included by the sources that link libcurl themselves.

#include <curl/curl.h>

#include <memory>
#include <new>
#include <string>

namespace korvalo {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlMultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

// Appends one line to a header list; throws std::bad_alloc when libcurl cannot.
inline void AppendCurlLine(CurlSlist& list, const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (head == nullptr)
        throw std::bad_alloc();
    (void)list.release();  // head owns the earlier nodes too
    list.reset(head);
}

// curl_global_init, run once for the whole process; every call returns its result.
[[nodiscard]] inline CURLcode CurlGlobalInit() {
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    return code;
}

}  // namespace korvalo
