// The checks of a request's framing made before its body is read.
#include "server/framing.h"

#include <strings.h>

#include <string>
#include <string_view>

#include "server/text_checks.h"

namespace qsn {

namespace {

// The characters of a field name (RFC 9110 §5.6.2).
bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 &&
          std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos);
}

bool IsNamed(std::string_view name, std::string_view wanted) {
  return name.size() == wanted.size() &&
         strncasecmp(name.data(), wanted.data(), name.size()) == 0;
}

// A header line without its line break: a name, a colon right after it,
// and no %-escape in the value of a length or coding.
bool IsSoundFieldLine(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  for (char c : name)
    if (!IsTokenChar(c)) return false;
  if (IsNamed(name, "Content-Length") || IsNamed(name, "Transfer-Encoding"))
    return line.find('%', colon) == std::string_view::npos;
  return true;
}

}  // namespace

bool HeadCheck::Take(char c) {
  if (c != '\n') {
    line_ += c;
    return true;
  }
  // Every line ends in CR LF, and holds no other CR, nor NUL.
  if (line_.empty() || line_.back() != '\r') return false;
  line_.pop_back();
  bool sound = line_.find_first_of(std::string_view("\r\0", 2)) == std::string::npos &&
               (request_line_ || line_.empty() || IsSoundFieldLine(line_));
  request_line_ = false;
  line_.clear();
  return sound;
}

const char* FramingProblem(const httplib::Request& req) {
  size_t lengths = req.get_header_value_count("Content-Length");
  size_t encodings = req.get_header_value_count("Transfer-Encoding");
  if (lengths > 0 && encodings > 0)
    return "the request has both Transfer-Encoding and Content-Length";
  if (lengths > 1 || encodings > 1) return "the request gives its length more than once";
  if (encodings == 1 &&
      strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") != 0)
    return "the only Transfer-Encoding accepted is chunked";
  if (lengths == 1 && !IsDigits(req.get_header_value("Content-Length")))
    return "the Content-Length is not a number";
  return nullptr;
}

}  // namespace qsn
