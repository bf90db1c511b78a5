// Parsing of the command line, and the system limits the server adapts to.
#include "server/options.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/owners.h"
#include "server/text_checks.h"

namespace qsn {

const char kUsage[] =
    "Usage: qsnserver [--listen HOST:PORT] [--tls-cert FILE --tls-key FILE]\n"
    "                 [--max-body BYTES] [--max-arguments COUNT]\n"
    "                 [--call-timeout SECONDS] [--head-timeout SECONDS]\n"
    "                 [--trace] APP.tcl\n"
    "\n"
    "Serves the application script APP.tcl over HTTP, or HTTPS when given a\n"
    "certificate and its key (PEM files). Every POST in multipart/form-data\n"
    "with the fields \"command\" and \"arglist\", to any path, calls the proc\n"
    "::rpc::<command> with the elements of arglist and answers with a Tcl list:\n"
    "  -qsnreply VALUE                                    on a normal return\n"
    "  -error 1 -errormsg MESSAGE -errorinfo TRACE        on a Tcl error\n"
    "  -changeurl PATH is added when the proc called qsn::changeurl.\n"
    "\n"
    "  --listen HOST:PORT  address to listen on (default 127.0.0.1:8080);\n"
    "                      port 0 picks a free port; an IPv6 host goes in\n"
    "                      brackets, as in [::1]:8080\n"
    "  --tls-cert FILE     certificate for HTTPS\n"
    "  --tls-key FILE      private key for HTTPS\n"
    "  --max-body BYTES    largest request body accepted (default 67108864)\n"
    "  --max-arguments COUNT\n"
    "                      most elements of arglist one call takes (default\n"
    "                      100000)\n"
    "  --call-timeout SECONDS\n"
    "                      longest a call may run before it ends in an error\n"
    "                      reply (default 60; 0 for no limit)\n"
    "  --head-timeout SECONDS\n"
    "                      longest a client may take to send the head of a\n"
    "                      request, TLS handshake included (default 10)\n"
    "  --trace             print the trace of every error reply the\n"
    "                      application makes on standard error\n"
    "  --help              this text\n"
    "\n"
    "The first line on standard output is the address, for example\n"
    "  listening on http://127.0.0.1:8080/\n"
    "then one line per request:\n"
    "  DATE TIME METHOD PATH COMMAND STATUS BYTES MS [error]\n"
    "BYTES counts the body sent, MS the milliseconds from the end of the\n"
    "request's head to the answer; error marks an error reply, whatever its\n"
    "status. METHOD, PATH and COMMAND are cut to 60 bytes with control\n"
    "characters shown as ?, and a field with nothing to show is -.\n"
    "What the script writes to standard output while it loads goes to\n"
    "standard error.\n"
    "SIGHUP loads the script again into a fresh interpreter between two\n"
    "requests; when it fails to load, the one loaded before serves on.\n"
    "SIGTERM or SIGINT stops the server: the call running is cancelled and\n"
    "connections get up to three seconds to finish. See server/README.md for\n"
    "the qsn:: commands an application can use.\n";

namespace {

// Each argument of a call costs the interpreter memory it keeps for later
// calls, about 120 bytes: this many cost more than a gigabyte.
constexpr unsigned long long kMostArguments = 10000000;

// Digits only, up to `limit`.
bool ParseCount(const std::string& text, unsigned long long limit,
                unsigned long long* out) {
  if (!IsDigits(text)) return false;
  *out = std::strtoull(text.c_str(), nullptr, 10);
  return *out <= limit;
}

// HOST:PORT, the host of an IPv6 address in brackets.
bool ParseListen(const std::string& text, Options* options) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  unsigned long long port;
  if (host.empty() || !ParseCount(text.substr(colon + 1), 65535, &port)) return false;
  options->host = host;
  options->port = static_cast<int>(port);
  return true;
}

// One option and its value; false when it is unknown or its value is
// missing or wrong.
bool ParseOption(const std::string& option, const char* value, Options* options) {
  if (!value) return false;
  unsigned long long n;
  if (option == "--listen") return ParseListen(value, options);
  if (option == "--tls-cert") {
    options->cert = value;
  } else if (option == "--tls-key") {
    options->key = value;
  } else if (option == "--max-body") {
    if (!ParseCount(value, SIZE_MAX, &n) || n == 0) return false;
    options->max_body = n;
  } else if (option == "--call-timeout") {
    if (!ParseCount(value, 86400, &n)) return false;
    options->call_timeout = static_cast<int>(n);
  } else if (option == "--max-arguments") {
    if (!ParseCount(value, kMostArguments, &n) || n == 0) return false;
    options->max_arguments = static_cast<int>(n);
  } else if (option == "--head-timeout") {
    if (!ParseCount(value, 3600, &n) || n == 0) return false;
    options->head_timeout = std::chrono::seconds(n);
  } else {
    return false;
  }
  return true;
}

}  // namespace

Invocation ParseOptions(int argc, const char* const* argv, Options* options) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")))
    return Invocation::kHelp;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--trace") {
      options->trace = true;
    } else if (!arg.empty() && arg[0] == '-') {
      const char* value = i + 1 < argc ? argv[++i] : nullptr;
      if (!ParseOption(arg, value, options)) return Invocation::kMisuse;
    } else if (options->app.empty()) {
      options->app = arg;
    } else {
      return Invocation::kMisuse;
    }
  }
  if (options->app.empty() || options->cert.empty() != options->key.empty())
    return Invocation::kMisuse;
  return Invocation::kServe;
}

unsigned long long ThreadsAllowed() {
  unsigned long long allowed = std::numeric_limits<unsigned long long>::max();
  rlimit limit;
  if (getrlimit(RLIMIT_NPROC, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    allowed = std::min<unsigned long long>(allowed, limit.rlim_cur);
  FilePtr pids_max(std::fopen("/sys/fs/cgroup/pids.max", "re"));
  unsigned long long pids;
  if (pids_max && std::fscanf(pids_max.get(), "%llu", &pids) == 1)
    allowed = std::min(allowed, pids);
  return allowed;
}

size_t WorkerCount(unsigned long long threads_allowed) {
  // Each open connection holds a worker while it is kept alive; a client
  // beyond this many waits until an idle connection times out.
  constexpr unsigned long long kMost = 1024, kLeast = 8;
  return std::clamp(threads_allowed / 2, kLeast, kMost);
}

void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace qsn
