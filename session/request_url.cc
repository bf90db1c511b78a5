// Composition of the request URL.
#include "session/request_url.h"

#include <curl/curl.h>

#include <cstring>

#include "base/curl_owners.h"
#include "base/tcl_text.h"

namespace qsn {

void ComposeUrl(const DString& base, const char* path, int path_length,
                Tcl_DString* out) {
  Tcl_DStringSetLength(out, 0);
  Tcl_DStringAppend(out, base.value(), base.length());

  int length = Tcl_DStringLength(out);
  bool base_slash = length > 0 && Tcl_DStringValue(out)[length - 1] == '/';
  bool path_slash = path_length > 0 && path[0] == '/';
  if (!base_slash && !path_slash) {
    Tcl_DStringAppend(out, "/", 1);
  } else if (base_slash && path_slash) {
    Tcl_DStringSetLength(out, length - 1);
  }
  Tcl_DStringAppend(out, path, path_length);
}

bool WireUrl(const DString& url, Tcl_DString* scratch, const char** wire,
             std::string* error) {
  int length = 0;
  if (!ToWireText(url.value(), url.length(), scratch, wire, &length, error)) return false;
  if (!std::memchr(*wire, '\0', length)) return true;
  *error = "the URL holds a NUL";
  return false;
}

bool UsableUrl(const DString& base, const char* path, int path_length) {
  DString url, scratch;
  ComposeUrl(base, path, path_length, url.get());
  const char* wire = nullptr;
  std::string error;
  if (!WireUrl(url, scratch.get(), &wire, &error)) return false;
  UrlPtr parsed(curl_url());
  // The flags libcurl itself parses a transfer's URL with.
  return parsed &&
         curl_url_set(parsed.get(), CURLUPART_URL, wire,
                      CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

}  // namespace qsn
