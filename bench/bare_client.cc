// The limit of the host's design: the same multipart POSTs with the same
// options, sent through libcurl's multi interface and the same wait loop,
// with nothing around them. Prints how long the requests took.
//
//   bench_bare_client URL COUNT
//
// Output: "requests COUNT seconds S first_ms F" where F is the first
// request's latency (a new connection, the host name resolved).
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
  void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

size_t Collect(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

CURLMcode Perform(CURLM* multi, int* still_running) {
  CURLMcode code;
  do {
    code = curl_multi_perform(multi, still_running);
  } while (code == CURLM_CALL_MULTI_PERFORM);
  return code;
}

// One request, set up as the host sets up requestQSN's: the handle reset,
// every option set again, the form built from the two fields.
bool Request(CURLM* multi, CURL* easy, const char* url, std::string* body, char* errbuf) {
  curl_easy_reset(easy);
  curl_easy_setopt(easy, CURLOPT_URL, url);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(easy, CURLOPT_COOKIELIST, "Set-Cookie:");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
  body->clear();
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  errbuf[0] = '\0';
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Expect:"));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
  std::unique_ptr<curl_mime, MimeDeleter> form(curl_mime_init(easy));
  const char* fields[][2] = {{"command", "ping"}, {"arglist", "{}"}};
  for (const auto& field : fields) {
    curl_mimepart* part = curl_mime_addpart(form.get());
    curl_mime_name(part, field[0]);
    curl_mime_data(part, field[1], CURL_ZERO_TERMINATED);
  }
  curl_easy_setopt(easy, CURLOPT_MIMEPOST, form.get());

  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return false;
  int still_running = 0;
  CURLMcode code = Perform(multi, &still_running);
  while (still_running && code == CURLM_OK) {
    code = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    if (code == CURLM_OK) code = Perform(multi, &still_running);
  }
  CURLcode result = CURLE_OK;
  int queued;
  while (CURLMsg* msg = curl_multi_info_read(multi, &queued))
    if (msg->msg == CURLMSG_DONE) result = msg->data.result;
  curl_multi_remove_handle(multi, easy);
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLM_OK || result != CURLE_OK || status != 200) {
    std::fprintf(stderr, "request failed: %s %s (HTTP %ld) %s\n",
                 curl_multi_strerror(code), curl_easy_strerror(result), status, errbuf);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL COUNT\n", argv[0]);
    return 2;
  }
  const char* url = argv[1];
  long count = std::strtol(argv[2], nullptr, 10);
  if (count < 1) {
    std::fprintf(stderr, "COUNT must be a positive number\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  int status = 0;
  {
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!multi || !easy) {
      std::fprintf(stderr, "cannot create libcurl handles\n");
      return 1;
    }
    std::string body;
    char errbuf[CURL_ERROR_SIZE];
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    double first_ms = 0;
    for (long i = 0; i < count; ++i) {
      if (!Request(multi.get(), easy.get(), url, &body, errbuf)) {
        status = 1;
        break;
      }
      if (i == 0)
        first_ms =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status == 0 && body != "-qsnreply ok") {
      std::fprintf(stderr, "unexpected reply: %s\n", body.c_str());
      status = 1;
    }
    if (status == 0)
      std::printf("requests %ld seconds %.6f first_ms %.3f\n", count, seconds, first_ms);
  }
  curl_global_cleanup();
  return status;
}
