// The checks of a request's framing made before its body is read.
#include "server/framing.h"

#include <strings.h>

#include <string>

#include "server/text_checks.h"

namespace qsn {

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
