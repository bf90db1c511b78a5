// The seam's wrappers of the calls only the host makes: libcurl's handles,
// options, form and header list, the multi calls that drive a transfer,
// and allocations that may come back empty.
#include <curl/curl.h>
#include <tcl.h>

#include <cstdarg>
#include <new>

#include "tests/torture/seam.h"

using qsn::torture::FailThisCall;

namespace {

// libcurl's option numbers say the type of the one argument after them.
CURLcode ForwardOption(CURL* easy, CURLoption option, va_list args);

}  // namespace

extern "C" {

CURLcode __real_curl_global_init(long flags);
CURL* __real_curl_easy_init();
CURLM* __real_curl_multi_init();
CURLcode __real_curl_easy_setopt(CURL* easy, CURLoption option, ...);
curl_slist* __real_curl_slist_append(curl_slist* list, const char* text);
curl_mime* __real_curl_mime_init(CURL* easy);
curl_mimepart* __real_curl_mime_addpart(curl_mime* mime);
CURLcode __real_curl_mime_name(curl_mimepart* part, const char* name);
CURLcode __real_curl_mime_data(curl_mimepart* part, const char* data, size_t size);
CURLMcode __real_curl_multi_add_handle(CURLM* multi, CURL* easy);
CURLMcode __real_curl_multi_perform(CURLM* multi, int* running);
CURLMcode __real_curl_multi_poll(CURLM* multi, curl_waitfd* extra, unsigned count,
                                 int timeout_ms, int* ready);
void* __real__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);

CURLcode __wrap_curl_global_init(long flags) {
  if (FailThisCall("curl_global_init")) return CURLE_FAILED_INIT;
  return __real_curl_global_init(flags);
}

CURL* __wrap_curl_easy_init() {
  if (FailThisCall("curl_easy_init")) return nullptr;
  return __real_curl_easy_init();
}

CURLM* __wrap_curl_multi_init() {
  if (FailThisCall("curl_multi_init")) return nullptr;
  return __real_curl_multi_init();
}

CURLcode __wrap_curl_easy_setopt(CURL* easy, CURLoption option, ...) {
  if (FailThisCall("curl_easy_setopt")) return CURLE_OUT_OF_MEMORY;
  va_list args;
  va_start(args, option);
  CURLcode code = ForwardOption(easy, option, args);
  va_end(args);
  return code;
}

curl_slist* __wrap_curl_slist_append(curl_slist* list, const char* text) {
  if (FailThisCall("curl_slist_append")) return nullptr;
  return __real_curl_slist_append(list, text);
}

curl_mime* __wrap_curl_mime_init(CURL* easy) {
  if (FailThisCall("curl_mime_init")) return nullptr;
  return __real_curl_mime_init(easy);
}

curl_mimepart* __wrap_curl_mime_addpart(curl_mime* mime) {
  if (FailThisCall("curl_mime_addpart")) return nullptr;
  return __real_curl_mime_addpart(mime);
}

CURLcode __wrap_curl_mime_name(curl_mimepart* part, const char* name) {
  if (FailThisCall("curl_mime_name")) return CURLE_OUT_OF_MEMORY;
  return __real_curl_mime_name(part, name);
}

CURLcode __wrap_curl_mime_data(curl_mimepart* part, const char* data, size_t size) {
  if (FailThisCall("curl_mime_data")) return CURLE_OUT_OF_MEMORY;
  return __real_curl_mime_data(part, data, size);
}

CURLMcode __wrap_curl_multi_add_handle(CURLM* multi, CURL* easy) {
  if (FailThisCall("curl_multi_add_handle")) return CURLM_OUT_OF_MEMORY;
  return __real_curl_multi_add_handle(multi, easy);
}

CURLMcode __wrap_curl_multi_perform(CURLM* multi, int* running) {
  if (FailThisCall("curl_multi_perform")) return CURLM_OUT_OF_MEMORY;
  return __real_curl_multi_perform(multi, running);
}

CURLMcode __wrap_curl_multi_poll(CURLM* multi, curl_waitfd* extra, unsigned count,
                                 int timeout_ms, int* ready) {
  if (FailThisCall("curl_multi_poll")) return CURLM_OUT_OF_MEMORY;
  return __real_curl_multi_poll(multi, extra, count, timeout_ms, ready);
}

// As for a name Tcl has no encoding of: null, and the message in the
// interpreter's result when there is one.
// operator new(size_t, const std::nothrow_t&): the host's only allocations
// that may come back empty.
void* __wrap__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
  if (FailThisCall("operator new(nothrow)")) return nullptr;
  return __real__ZnwmRKSt9nothrow_t(size, tag);
}

}  // extern "C"

namespace {

CURLcode ForwardOption(CURL* easy, CURLoption option, va_list args) {
  if (option < CURLOPTTYPE_OBJECTPOINT)
    return __real_curl_easy_setopt(easy, option, va_arg(args, long));
  if (option < CURLOPTTYPE_FUNCTIONPOINT || option >= CURLOPTTYPE_BLOB)
    return __real_curl_easy_setopt(easy, option, va_arg(args, void*));
  if (option < CURLOPTTYPE_OFF_T)
    return __real_curl_easy_setopt(easy, option, va_arg(args, void (*)()));
  return __real_curl_easy_setopt(easy, option, va_arg(args, curl_off_t));
}

}  // namespace
