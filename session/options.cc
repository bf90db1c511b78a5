// A session's configured options set on the easy handle of each request.
#include "session/options.h"

namespace qsn {

CURLcode ApplyOptions(CURL* easy, const SessionOptions& options) {
  CURLcode refused = CURLE_OK;
  auto check = [&refused](CURLcode code) {
    if (refused == CURLE_OK) refused = code;
  };
  // The pin is checked in the handshake, before a byte of the request is
  // sent, and whether or not the peer's chain is verified.
  if (!options.pinned_key.curl.empty())
    check(
        curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, options.pinned_key.curl.c_str()));
  if (options.verify) {
    check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
    check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
    // Windows' TLS refuses a certificate whose revocation it cannot look up,
    // as is usual for an organisation's own CA that publishes no list the
    // desktop reaches; a certificate listed as revoked is still refused.
    // Elsewhere the option is ignored.
    check(curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS,
                           static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT)));
    if (!options.ca_file.curl.empty())
      check(curl_easy_setopt(easy, CURLOPT_CAINFO, options.ca_file.curl.c_str()));
  }
  if (options.timeout_ms > 0)
    check(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, options.timeout_ms));
  if (options.connect_timeout_ms > 0)
    check(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms));
  if (!options.proxy_user.curl.empty()) {
    check(curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, options.proxy_user.curl.c_str()));
    // Basic, Digest, NTLM or Negotiate, whichever the proxy asks for; on
    // Windows ":" then means the signed-in user's own credentials.
    check(curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY)));
  }
  return refused;
}

}  // namespace qsn
