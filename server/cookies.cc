// The cookies of a request. The HTTP library leaves the Cookie header as it
// was sent: it is split here.
#include "server/cookies.h"

#include <strings.h>

namespace qsn {

namespace {

// The value of cookie `name` in one Cookie header.
std::optional<std::string> CookieIn(const std::string& header, const std::string& name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string pair = header.substr(pos, end - pos);
    size_t start = pair.find_first_not_of(' ');
    size_t eq = pair.find('=');
    if (start != std::string::npos && eq != std::string::npos &&
        pair.compare(start, eq - start, name) == 0)
      return pair.substr(eq + 1);
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> FindCookie(
    const std::multimap<std::string, std::string>& headers, const std::string& name) {
  for (const auto& [key, header] : headers) {
    if (strcasecmp(key.c_str(), "Cookie") != 0) continue;
    if (auto value = CookieIn(header, name)) return value;
  }
  return std::nullopt;
}

}  // namespace qsn
