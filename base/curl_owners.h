// Owners of libcurl's handles: each frees its resource exactly once and
// cannot be copied. They free; they do not order: where two of them are
// tied (an easy handle attached to a multi handle, a form or header list
// an easy handle uses), the holder detaches and orders them itself.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace qsn {

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyPtr = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiPtr = std::unique_ptr<CURLM, MultiCleanup>;

struct MimeFree {
  void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
using MimePtr = std::unique_ptr<curl_mime, MimeFree>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlPtr = std::unique_ptr<CURLU, UrlCleanup>;

}  // namespace qsn
