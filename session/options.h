// What a script sets on a session with configureQSNsession: how its
// server's TLS is checked, how long its requests may take, and what its
// proxy is told. Kept with the session and applied to each of its requests
// after the options every request gets.
#pragma once

#include <curl/curl.h>

#include <string>

namespace qsn {

// A text option in the two forms it lives in: as the script gave it, which
// configureQSNsession returns, and as libcurl takes it.
struct TextOption {
  std::string script;
  std::string curl;
};

// The defaults are what a session never configured has; they set nothing,
// so such a session's requests carry the same options as they always did.
struct SessionOptions {
  // "sha256//<base64>" hashes joined by ";", or a public key file's name in
  // the system's encoding; empty for none.
  TextOption pinned_key;
  bool verify = false;
  TextOption ca_file;  // a file name, in the system's encoding
  long timeout_ms = 0;
  long connect_timeout_ms = 0;
  TextOption proxy_user;  // "user:password", as UTF-8 for libcurl
};

// Sets `options` on the easy handle, which was just reset. Returns the first
// code libcurl refused an option with, or CURLE_OK.
CURLcode ApplyOptions(CURL* easy, const SessionOptions& options);

}  // namespace qsn
